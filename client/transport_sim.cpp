// The client's transport on the simulated platform: the application-side calls of
// the simulated I/O manager, in the calling thread's process. Statuses are the
// driver's NT statuses as they are.
#include <sim/app.h>

#include "camera.h"
#include "stream.h"

namespace quorvex {

Camera Camera::open(int instance, Status* status) {
  Camera camera;
  sim::Handle handle = sim::kInvalidHandle;
  NTSTATUS result = sim::nt_create_file(L"\\\\.\\Quorvex-" + std::to_wstring(instance), &handle);
  *status = Status{static_cast<uint32_t>(result), !NT_SUCCESS(result)};
  if (NT_SUCCESS(result)) {
    camera.handle_ = handle;
    camera.instance_ = instance;
  }
  return camera;
}

void Camera::close() {
  if (handle_ != kClosed) sim::nt_close(handle_);
  handle_ = kClosed;
}

Status Camera::control(uint32_t code, const void* input, uint32_t input_length, void* output,
                       uint32_t output_length, uint32_t* returned) const {
  if (handle_ == kClosed) return Status::refused(kNotOpen, "the camera is not open");
  ULONG_PTR information = 0;
  NTSTATUS result =
      sim::nt_device_io_control(handle_, code, input, input_length, output, output_length, &information);
  if (returned != nullptr) *returned = static_cast<uint32_t>(information);
  Status status{static_cast<uint32_t>(result), !NT_SUCCESS(result)};
  status.returned = static_cast<uint32_t>(information);
  return status;
}

// The view belongs to the simulated process that started the stream; its bytes are
// read out there as the application's own code would read them.
const uint8_t* Frame::view(uint64_t address, uint32_t size, std::vector<uint8_t>* copy) {
  copy->resize(size);
  const void* at = reinterpret_cast<const void*>(static_cast<uintptr_t>(address));
  return sim::read_user_view(at, copy->data(), size) ? copy->data() : nullptr;
}

}  // namespace quorvex
