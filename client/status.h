// What a request came back with, in a form a person and a script can both read:
// the code, where it came from, its name, and the bytes the driver returned.
#pragma once

#include <cstdint>
#include <string>

namespace quorvex {

// Driver: an NT status from the driver (the simulated platform hands it over as is).
// Windows: the Win32 error DeviceIoControl or CreateFileW reported.
// Library: the library refused the request before anything was sent.
enum class Origin : uint8_t { Driver, Windows, Library };

// Codes of the library's own refusals.
enum LibraryCode : uint32_t {
  kOutOfRange = 1,        // a value outside what the camera's model accepts
  kNotOnModel = 2,        // the request does not exist on the camera's model or product
  kShortReply = 3,        // the driver returned fewer bytes than the request's record
  kNotOpen = 4,           // no camera behind the handle
  kBadReply = 5,          // the driver's reply makes no sense (a window of no pixels)
  kStreamStopped = 6,     // the stream has stopped (or never started)
  kAlreadyStreaming = 7,  // another stream runs on the camera
};

struct Status {
  Status() = default;
  Status(uint32_t code, bool failed, Origin origin = Origin::Driver)
      : code(code), failed(failed), origin(origin) {}

  uint32_t code = 0;
  bool failed = false;
  Origin origin = Origin::Driver;
  uint32_t returned = 0;  // bytes the driver wrote into the output
  std::string detail;     // what the library knows beyond the code, for refusals

  explicit operator bool() const { return !failed; }
  // STATUS_TIMEOUT: a frame read the camera left unfinished; `returned` bytes came.
  bool timed_out() const { return origin == Origin::Driver && code == kStatusTimeout; }
  // The camera was unplugged or removed: the handle serves nothing more and is only
  // good for closing.
  bool camera_gone() const;
  // The NT status behind a failure the driver returned (on Windows, as far as the
  // Win32 error tells it); 0 for success, a library refusal or an unknown error.
  uint32_t nt_code() const;
  static constexpr uint32_t kStatusTimeout = 0x00000102;
  // "STATUS_INVALID_PARAMETER", "ERROR_ACCESS_DENIED (STATUS_DELETE_PENDING)", ...
  std::string name() const;
  // The name, the code in hexadecimal, and the detail if any.
  std::string message() const;

  static Status refused(LibraryCode code, std::string detail);
};

// Names of NT statuses, USBD statuses (what GET_LAST_STATUS reports) and Win32
// errors; null for a code the table does not know.
const char* nt_status_name(uint32_t code);
const char* usbd_status_name(uint32_t code);
const char* win32_error_name(uint32_t code);
// The NT status the driver returned when Windows reports `error` for it, or 0.
uint32_t nt_status_behind(uint32_t error);
// A USB status as GET_LAST_STATUS returns it: a USBD status, or the NT status a
// timed-out frame read records; "none" for 0.
std::string last_status_text(uint32_t code);

}  // namespace quorvex
