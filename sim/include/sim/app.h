// The application side of the simulated platform: processes, handles, and the
// native calls an application makes to open, control and close a device.
#pragma once

#include <sim/ntddk.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

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

// An application thread: `body` runs on a thread of its own in `process`. The test
// may terminate it, or kill its process, at any moment. As on Windows it exits the
// next time it is in user mode: at its next call, or as a call returns. A UserMode
// wait inside a driver is interrupted for it (KeWaitForSingleObject returns
// STATUS_USER_APC, an alertable KernelMode wait STATUS_ALERTED); a non-alertable
// KernelMode wait is not, and holds the thread until the driver's routine returns.
// The request it waits for is cancelled (IoCancelIrp) and waited for, and so are
// the requests drivers built on it (IoBuildDeviceIoControlRequest), before it is
// gone. A thread not gone within the hang bound (set_hang_report_after) after its
// termination began is reported: the application cannot be killed.
class AppThread {
 public:
  AppThread(Process& process, std::string name, std::function<void()> body);
  ~AppThread();  // waits for the thread
  AppThread(const AppThread&) = delete;
  AppThread& operator=(const AppThread&) = delete;

  void terminate();
  bool wait_exited(std::chrono::milliseconds bound);
  bool exited() const;
  // Whether it ended by its termination rather than by returning from its body.
  bool terminated() const;
  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
  std::thread watchdog_;
};

// Kills a process: terminates each of its application threads and, once they are
// gone, closes its handles (cleanup in the process, close from the system process).
// False, with the handles left open, when a thread is still there after twice the
// hang bound (it has been reported).
bool kill_process(Process& process);

// An application reads and writes the user views drivers make for it through
// these, as its own code would touch them: only from the process that owns the
// view, where the address means something. False, with nothing copied, when
// [address, address + length) is not inside a view of the current process.
bool read_user_view(const void* address, void* into, size_t length);
bool write_user_view(void* address, const void* from, size_t length);

using Handle = intptr_t;
constexpr Handle kInvalidHandle = -1;

// Opens a device by its user-mode name, for example "\\.\Quorvex-0", in the current
// process: the name goes through the symbolic link to the device object, and the
// create request is sent to the top of its stack.
NTSTATUS nt_create_file(const std::wstring& path, Handle* handle);

// The file object a handle of the current process refers to (null: none), for a
// test to look at what the driver keeps for the handle.
PFILE_OBJECT handle_file_object(Handle handle);

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
