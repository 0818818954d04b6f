// The client's transport on Windows: the device opened by name, requests sent with
// DeviceIoControl. Failures come back as Win32 errors; Status::name() also names the
// driver's status behind the ones this driver produces.
#include <windows.h>

#include "camera.h"
#include "stream.h"

namespace quorvex {
namespace {

Status win32_failure() { return Status(static_cast<uint32_t>(GetLastError()), true, Origin::Windows); }

}  // namespace

Camera Camera::open(int instance, Status* status) {
  Camera camera;
  std::wstring name = L"\\\\.\\Quorvex-" + std::to_wstring(instance);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  *status = handle == INVALID_HANDLE_VALUE ? win32_failure() : Status{};
  if (handle != INVALID_HANDLE_VALUE) {
    camera.handle_ = reinterpret_cast<intptr_t>(handle);
    camera.instance_ = instance;
  }
  return camera;
}

void Camera::close() {
  if (handle_ != kClosed) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kClosed;
}

// The handle is synchronous: DeviceIoControl returns once the request is done. The
// OVERLAPPED is there for the driver's own status, which Windows leaves in Internal:
// a success-class status such as STATUS_TIMEOUT (a frame read the camera left
// unfinished) is otherwise reported as plain success.
Status Camera::control(uint32_t code, const void* input, uint32_t input_length, void* output,
                       uint32_t output_length, uint32_t* returned) const {
  if (handle_ == kClosed) return Status::refused(kNotOpen, "the camera is not open");
  DWORD bytes = 0;
  OVERLAPPED overlapped{};
  BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(handle_), code, const_cast<void*>(input), input_length,
                            output, output_length, &bytes, &overlapped);
  if (returned != nullptr) *returned = bytes;
  Status status = ok ? Status(static_cast<uint32_t>(overlapped.Internal), false) : win32_failure();
  status.returned = bytes;
  return status;
}

// The driver mapped the frame buffer into this process: the address is the bytes.
const uint8_t* Frame::view(uint64_t address, uint32_t, std::vector<uint8_t>*) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
}

}  // namespace quorvex
