// The client's transport on Windows: the device opened by name, requests sent with
// DeviceIoControl. Failures come back as Win32 errors.
#include <windows.h>

#include "camera.h"

namespace quorvex {

Camera Camera::open(int instance, Status* status) {
  Camera camera;
  std::wstring name = L"\\\\.\\Quorvex-" + std::to_wstring(instance);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  *status = handle == INVALID_HANDLE_VALUE ? Status{static_cast<uint32_t>(GetLastError()), true} : Status{};
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

Status Camera::control(uint32_t code, const void* input, uint32_t input_length, void* output,
                       uint32_t output_length, uint32_t* returned) const {
  DWORD bytes = 0;
  BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(handle_), code, const_cast<void*>(input), input_length,
                            output, output_length, &bytes, nullptr);
  if (returned != nullptr) *returned = bytes;
  return ok ? Status{} : Status{static_cast<uint32_t>(GetLastError()), true};
}

}  // namespace quorvex
