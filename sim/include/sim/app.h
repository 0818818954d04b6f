// The application side of the simulated platform: processes, handles, and the
// native calls an application makes to open, control and close a device.
#pragma once

#include <sim/ntddk.h>

#include <cstdint>
#include <string>

namespace sim {

// A user process. User views that a driver maps belong to the process that was
// current when they were made. Ending a process closes its handles and reports
// views it still has.
class Process {
 public:
  explicit Process(std::string name);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  PEPROCESS object() { return reinterpret_cast<PEPROCESS>(this); }
  const std::string& name() const { return name_; }
  int views() const;  // user views currently mapped in this process

 private:
  std::string name_;
};

// The process a thread runs in: the default application process unless a
// ProcessScope says otherwise. Platform threads run in the system process.
Process& current_process();
Process& default_process();
Process& system_process();

class ProcessScope {
 public:
  explicit ProcessScope(Process& process);
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  Process* saved_;
};

using Handle = intptr_t;
constexpr Handle kInvalidHandle = -1;

// Opens a device by its user-mode name, for example "\\.\Quorvex-0", in the current
// process: the name goes through the symbolic link to the device object, and the
// create request is sent to the top of its stack.
NTSTATUS nt_create_file(const std::wstring& path, Handle* handle);

// Closes a handle: cleanup, then close, as the I/O manager sends them.
NTSTATUS nt_close(Handle handle);

// Sends a device-control request and waits for it. `information` receives the
// I/O status block's Information. Buffered requests copy that many bytes back;
// direct requests describe the output buffer by an MDL that is not yet mapped
// into system space.
NTSTATUS nt_device_io_control(Handle handle, ULONG code, const void* input, ULONG input_length, void* output,
                              ULONG output_length, ULONG_PTR* information);

// Handles open in all processes.
int open_handle_count();

}  // namespace sim
