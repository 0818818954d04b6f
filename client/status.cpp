// Names for the codes a request can come back with.
#include "status.h"

#include <cstdio>

namespace quorvex {
namespace {

struct Name {
  uint32_t code;
  const char* name;
};

const Name kNtStatuses[] = {
    {0x00000000, "STATUS_SUCCESS"},
    {0x00000102, "STATUS_TIMEOUT"},
    {0x00000103, "STATUS_PENDING"},
    {0x80000005, "STATUS_BUFFER_OVERFLOW"},
    {0x8000000F, "STATUS_DEVICE_POWERED_OFF"},
    {0x80000011, "STATUS_DEVICE_BUSY"},
    {0xC0000001, "STATUS_UNSUCCESSFUL"},
    {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008, "STATUS_INVALID_HANDLE"},
    {0xC000000D, "STATUS_INVALID_PARAMETER"},
    {0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000016, "STATUS_MORE_PROCESSING_REQUIRED"},
    {0xC0000017, "STATUS_NO_MEMORY"},
    {0xC0000022, "STATUS_ACCESS_DENIED"},
    {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC000003A, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC0000056, "STATUS_DELETE_PENDING"},
    {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC000009D, "STATUS_DEVICE_NOT_CONNECTED"},
    {0xC00000A3, "STATUS_DEVICE_NOT_READY"},
    {0xC00000B5, "STATUS_IO_TIMEOUT"},
    {0xC00000BB, "STATUS_NOT_SUPPORTED"},
    {0xC00000C0, "STATUS_DEVICE_DOES_NOT_EXIST"},
    {0xC0000120, "STATUS_CANCELLED"},
    {0xC0000128, "STATUS_FILE_CLOSED"},
    {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    {0xC00002B6, "STATUS_DEVICE_REMOVED"},
};

const Name kUsbdStatuses[] = {
    {0x00000000, "USBD_STATUS_SUCCESS"},
    {0x40000000, "USBD_STATUS_PENDING"},
    {0xC0000001, "USBD_STATUS_CRC"},
    {0xC0000002, "USBD_STATUS_BTSTUFF"},
    {0xC0000003, "USBD_STATUS_DATA_TOGGLE_MISMATCH"},
    {0xC0000004, "USBD_STATUS_STALL_PID"},
    {0xC0000005, "USBD_STATUS_DEV_NOT_RESPONDING"},
    {0xC0000006, "USBD_STATUS_PID_CHECK_FAILURE"},
    {0xC0000007, "USBD_STATUS_UNEXPECTED_PID"},
    {0xC0000008, "USBD_STATUS_DATA_OVERRUN"},
    {0xC0000009, "USBD_STATUS_DATA_UNDERRUN"},
    {0xC000000C, "USBD_STATUS_BUFFER_OVERRUN"},
    {0xC000000D, "USBD_STATUS_BUFFER_UNDERRUN"},
    {0xC000000F, "USBD_STATUS_NOT_ACCESSED"},
    {0xC0000010, "USBD_STATUS_FIFO"},
    {0xC0000011, "USBD_STATUS_XACT_ERROR"},
    {0xC0000012, "USBD_STATUS_BABBLE_DETECTED"},
    {0xC0000013, "USBD_STATUS_DATA_BUFFER_ERROR"},
    {0xC0000030, "USBD_STATUS_ENDPOINT_HALTED"},
    {0x80000200, "USBD_STATUS_INVALID_URB_FUNCTION"},
    {0x80000300, "USBD_STATUS_INVALID_PARAMETER"},
    {0x80000400, "USBD_STATUS_ERROR_BUSY"},
    {0x80000500, "USBD_STATUS_REQUEST_FAILED"},
    {0x80000600, "USBD_STATUS_INVALID_PIPE_HANDLE"},
    {0x80000700, "USBD_STATUS_NO_BANDWIDTH"},
    {0x80000800, "USBD_STATUS_INTERNAL_HC_ERROR"},
    {0x80000900, "USBD_STATUS_ERROR_SHORT_TRANSFER"},
    {0xC0000A00, "USBD_STATUS_BAD_START_FRAME"},
    {0xC0000B00, "USBD_STATUS_ISOCH_REQUEST_FAILED"},
    {0xC0000C00, "USBD_STATUS_FRAME_CONTROL_OWNED"},
    {0xC0000D00, "USBD_STATUS_FRAME_CONTROL_NOT_OWNED"},
    {0xC0000E00, "USBD_STATUS_NOT_SUPPORTED"},
    {0xC0000F00, "USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR"},
    {0xC0001000, "USBD_STATUS_INSUFFICIENT_RESOURCES"},
    {0xC0002000, "USBD_STATUS_SET_CONFIG_FAILED"},
    {0xC0003000, "USBD_STATUS_BUFFER_TOO_SMALL"},
    {0xC0004000, "USBD_STATUS_INTERFACE_NOT_FOUND"},
    {0xC0005000, "USBD_STATUS_INVALID_PIPE_FLAGS"},
    {0xC0006000, "USBD_STATUS_TIMEOUT"},
    {0xC0007000, "USBD_STATUS_DEVICE_GONE"},
    {0xC0008000, "USBD_STATUS_STATUS_NOT_MAPPED"},
    {0xC0009000, "USBD_STATUS_HUB_INTERNAL_ERROR"},
    {0xC0010000, "USBD_STATUS_CANCELED"},
};

const Name kWin32Errors[] = {
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {21, "ERROR_NOT_READY"},
    {22, "ERROR_BAD_COMMAND"},
    {31, "ERROR_GEN_FAILURE"},
    {50, "ERROR_NOT_SUPPORTED"},
    {87, "ERROR_INVALID_PARAMETER"},
    {121, "ERROR_SEM_TIMEOUT"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {234, "ERROR_MORE_DATA"},
    {995, "ERROR_OPERATION_ABORTED"},
    {1117, "ERROR_IO_DEVICE"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1617, "ERROR_DEVICE_REMOVED"},
};

// The statuses this driver completes requests with, and the Win32 error the I/O
// manager turns each into: enough to name the driver's status on Windows too.
const Name kDriverStatusBehind[] = {
    {1, "STATUS_INVALID_DEVICE_REQUEST"},
    {5, "STATUS_DELETE_PENDING"},
    {8, "STATUS_NO_MEMORY"},
    {22, "STATUS_INVALID_DEVICE_STATE"},
    {31, "STATUS_UNSUCCESSFUL"},
    {50, "STATUS_NOT_SUPPORTED"},
    {87, "STATUS_INVALID_PARAMETER"},
    {122, "STATUS_BUFFER_TOO_SMALL"},
    {995, "STATUS_CANCELLED"},
    {1167, "STATUS_DEVICE_NOT_CONNECTED"},
    {1450, "STATUS_INSUFFICIENT_RESOURCES"},
};

const char* find(const Name* table, size_t count, uint32_t code) {
  for (size_t i = 0; i < count; ++i) {
    if (table[i].code == code) return table[i].name;
  }
  return nullptr;
}

template <size_t N>
const char* find(const Name (&table)[N], uint32_t code) {
  return find(table, N, code);
}

const char* library_name(uint32_t code) {
  switch (code) {
    case kOutOfRange:
      return "out of range";
    case kNotOnModel:
      return "not on this model";
    case kShortReply:
      return "short reply";
    case kNotOpen:
      return "no camera open";
    case kBadReply:
      return "unusable reply";
    case kStreamStopped:
      return "stream stopped";
    case kAlreadyStreaming:
      return "already streaming";
    default:
      return nullptr;
  }
}

std::string hex32(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", code);
  return text;
}

}  // namespace

const char* nt_status_name(uint32_t code) { return find(kNtStatuses, code); }
const char* usbd_status_name(uint32_t code) { return find(kUsbdStatuses, code); }
const char* win32_error_name(uint32_t code) { return find(kWin32Errors, code); }

uint32_t nt_status_behind(uint32_t error) {
  const char* name = find(kDriverStatusBehind, error);
  if (name == nullptr) return 0;
  for (const Name& status : kNtStatuses) {
    if (std::string(status.name) == name) return status.code;
  }
  return 0;
}

std::string Status::name() const {
  const char* known = nullptr;
  switch (origin) {
    case Origin::Driver:
      known = nt_status_name(code);
      break;
    case Origin::Library:
      known = library_name(code);
      break;
    case Origin::Windows: {
      known = win32_error_name(code);
      uint32_t behind = nt_status_behind(code);
      if (known != nullptr && behind != 0) return std::string(known) + " (" + nt_status_name(behind) + ")";
      break;
    }
  }
  return known != nullptr ? known : hex32(code);
}

// What the driver completes requests with once its device is surprise-removed or
// removed, and what Windows makes of it.
bool Status::camera_gone() const {
  uint32_t status = nt_code();
  return status == 0xC0000056 || status == 0xC000009D;  // STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED
}

uint32_t Status::nt_code() const {
  if (origin == Origin::Library || !failed) return 0;
  return origin == Origin::Windows ? nt_status_behind(code) : code;
}

std::string Status::message() const {
  std::string text = name();
  if (origin != Origin::Library)
    text += origin == Origin::Windows ? ", error " + std::to_string(code) : ", " + hex32(code);
  if (!detail.empty()) text += ": " + detail;
  return text;
}

Status Status::refused(LibraryCode code, std::string detail) {
  Status status(code, true, Origin::Library);
  status.detail = std::move(detail);
  return status;
}

std::string last_status_text(uint32_t code) {
  if (code == 0) return "none";
  // The one NT status a frame read leaves here when the camera sent nothing in time.
  if (code == 0xC0000102) return "0xC0000102 (a frame read timed out)";
  const char* name = usbd_status_name(code);
  return name != nullptr ? std::string(name) + " (" + hex32(code) + ")" : hex32(code);
}

}  // namespace quorvex
