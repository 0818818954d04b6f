// The I/O manager's side of an application's calls: name lookup, file objects,
// the create, cleanup, close and device-control requests, and the buffering of
// their data the way Windows does it. A file object is referenced by its handle
// and by each request on it: cleanup goes in the closing process when the handle
// closes, close from the system process once the last reference is gone.
// Locks: the handle table's lock guards handles and file references; no request
// is sent with it held.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

#include <sim/app.h>

#include "../kernel/internal.h"

namespace sim {
namespace {

constexpr CSHORT kIoTypeFile = 5;

struct HandleEntry {
  Process* process;
  PFILE_OBJECT file;
};

struct HandleTable {
  std::mutex mutex;
  std::map<Handle, HandleEntry> handles;
  std::map<PFILE_OBJECT, int> file_references;
  Handle next = 4;
};

HandleTable& handles() {
  static HandleTable* t = new HandleTable();
  return *t;
}

CloseHook& close_hook() {
  static CloseHook* hook = new CloseHook();
  return *hook;
}

// Resolves "\\.\Name" (or "\??\Name") through the symbolic link to a device, and
// references it. What follows the link's name ("\x" in "\\.\Name\x") is left in
// `rest`, for the device's driver to see in the file object's FileName.
PDEVICE_OBJECT resolve(const std::wstring& path, std::wstring* rest, bool* initialising) {
  std::wstring name;
  for (const wchar_t* prefix : {L"\\\\.\\", L"\\??\\"}) {
    if (path.rfind(prefix, 0) == 0) name = path.substr(wcslen(prefix));
  }
  size_t separator = name.find(L'\\');
  if (separator != std::wstring::npos) {
    *rest = name.substr(separator);
    name.resize(separator);
  }
  if (name.empty()) return nullptr;
  std::wstring target = symlink_target(L"\\DosDevices\\" + name);
  if (target.empty()) target = symlink_target(L"\\??\\" + name);
  return target.empty() ? nullptr : device_open_by_name(target, initialising);
}

// The file object's FileName: the I/O manager's copy, freed with the file object.
void set_file_name(PFILE_OBJECT file, const std::wstring& name) {
  if (name.empty()) return;
  auto buffer = static_cast<PWSTR>(std::calloc(name.size() + 1, sizeof(WCHAR)));
  std::copy(name.begin(), name.end(), buffer);
  file->FileName.Buffer = buffer;
  file->FileName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  file->FileName.MaximumLength = static_cast<USHORT>(file->FileName.Length + sizeof(WCHAR));
}

// One request from an application thread: builds the IRP, sends it to the top of
// the file's device stack and waits for it.
class Request {
 public:
  Request(PFILE_OBJECT file, UCHAR major) {
    KeInitializeEvent(done_.get(), NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    target_ = top;
    irp_ = irp_allocate(top->StackSize, false);
    irp_->RequestorMode = UserMode;
    irp_->Tail.Overlay.OriginalFileObject = file;
    PKEVENT done = done_.get();
    irp_set_finisher(irp_, [done](PIRP) { KeSetEvent(done, IO_NO_INCREMENT, FALSE); });
    stack()->MajorFunction = major;
    stack()->FileObject = file;
  }

  ~Request() {
    if (irp_is_completed(irp_)) irp_release(irp_);
  }

  PIRP irp() { return irp_; }
  PIO_STACK_LOCATION stack() { return IoGetNextIrpStackLocation(irp_); }

  // Returns the final status, or the dispatch status if the driver never completed.
  // A thread terminated while its request is pending cancels it and waits for it
  // before it goes, as Windows' I/O manager does when its wait is interrupted.
  NTSTATUS send() {
    NTSTATUS status = IofCallDriver(target_, irp_);
    if (status == STATUS_PENDING) {
      if (KeWaitForSingleObject(done_.get(), Executive, UserMode, FALSE, nullptr) == STATUS_USER_APC) {
        IoCancelIrp(irp_);
        KeWaitForSingleObject(done_.get(), Executive, KernelMode, FALSE, nullptr);
      }
    } else if (!irp_is_completed(irp_)) {
      return status;
    }
    return irp_->IoStatus.Status;
  }

 private:
  PDEVICE_OBJECT target_;
  PIRP irp_;
  // Not on the stack: a thread waiting in UserMode may have it paged out.
  std::unique_ptr<KEVENT> done_ = std::make_unique<KEVENT>();
};

void free_file(PFILE_OBJECT file) {
  std::free(file->FileName.Buffer);
  memset(static_cast<void*>(file), 0xDD, sizeof(*file));
  std::free(file);
}

// The last reference to a file object is gone: close, from the system process.
void close_file(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  PDRIVER_OBJECT driver = device->DriverObject;
  {
    ProcessScope system(system_process());
    Request close(file, IRP_MJ_CLOSE);
    close.send();
  }
  free_file(file);
  bool freed = device_dereference(device);
  run_close_hook(device, driver, freed);
}

void release_file(PFILE_OBJECT file) {
  {
    std::lock_guard<std::mutex> lock(handles().mutex);
    auto it = handles().file_references.find(file);
    if (--it->second > 0) return;
    handles().file_references.erase(it);
  }
  close_file(file);
}

// A handle belongs to the process that opened it: another process's call with it
// is refused as with a handle it never had.
PFILE_OBJECT take_handle(Handle handle) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  auto it = handles().handles.find(handle);
  if (it == handles().handles.end() || it->second.process != &current_process()) return nullptr;
  PFILE_OBJECT file = it->second.file;
  handles().handles.erase(it);
  return file;
}

// The handle's file object, referenced for one request.
PFILE_OBJECT reference_handle(Handle handle) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  auto it = handles().handles.find(handle);
  if (it == handles().handles.end() || it->second.process != &current_process()) return nullptr;
  handles().file_references[it->second.file]++;
  return it->second.file;
}

// Buffers of one device-control request, set up and torn down per method.
struct ControlBuffers {
  ULONG method;
  void* user_output;
  ULONG output_length;
  void* system_buffer = nullptr;
  bool locked = false;  // the direct request's MDL describes the caller's own pages
  LockedPages pages{};
  void* shadow = nullptr;  // else a copy of them behind its MDL
  PMDL mdl = nullptr;
};

void prepare_buffers(PIRP irp, ControlBuffers& b, const void* input, ULONG input_length) {
  ULONG system_length = b.method == METHOD_BUFFERED ? std::max(input_length, b.output_length) : input_length;
  if ((b.method == METHOD_BUFFERED || b.method == METHOD_IN_DIRECT || b.method == METHOD_OUT_DIRECT) &&
      system_length > 0) {
    // Not cleared, as on Windows: bytes a driver reports without writing them show.
    b.system_buffer = pool_alloc(system_length, PoolOwner::Platform, "I/O manager", 0);
    if (input_length > 0) memcpy(b.system_buffer, input, input_length);
    irp->AssociatedIrp.SystemBuffer = b.system_buffer;
  }
  if ((b.method == METHOD_IN_DIRECT || b.method == METHOD_OUT_DIRECT) && b.output_length > 0 &&
      b.user_output != nullptr) {
    b.locked = lock_user_pages(b.user_output, b.output_length, &b.pages);
    if (!b.locked) {
      // A buffer whose pages cannot be shared is copied; every byte is copied in,
      // so a kept block of the same length serves without a fresh one's faults.
      b.shadow = pool_take_kept(b.output_length, "locked pages", 0);
      if (b.shadow == nullptr) b.shadow = pool_alloc(b.output_length, PoolOwner::Platform, "locked pages", 0);
      memcpy(b.shadow, b.user_output, b.output_length);
    }
    b.mdl = mdl_allocate(b.user_output, b.output_length, b.locked ? b.pages.system : b.shadow);
    irp->MdlAddress = b.mdl;
  }
  if (b.method == METHOD_NEITHER) {
    IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    irp->UserBuffer = b.user_output;
  }
}

void finish_buffers(PIRP irp, ControlBuffers& b, bool completed) {
  ULONG_PTR information = irp->IoStatus.Information;
  if (completed && b.method == METHOD_BUFFERED) {
    if (information > b.output_length) {
      report_fault(Fault::InformationExceedsOutput, "Information " + std::to_string(information) +
                                                        " with an output buffer of " +
                                                        std::to_string(b.output_length) + " bytes");
      information = b.output_length;
    }
    if (!NT_ERROR(irp->IoStatus.Status) && information > 0) {
      memcpy(b.user_output, b.system_buffer, information);
    }
  }
  if (completed && b.shadow != nullptr) memcpy(b.user_output, b.shadow, b.output_length);
  // A request the driver never completed may still be using its buffers.
  if (!completed) return;
  if (b.locked) unlock_user_pages(b.pages);
  if (b.mdl != nullptr) IoFreeMdl(b.mdl);
  if (b.shadow != nullptr) pool_keep(b.shadow);
  if (b.system_buffer != nullptr) pool_free(b.system_buffer, PoolOwner::Platform);
}

}  // namespace

void set_close_hook(CloseHook hook) { close_hook() = std::move(hook); }

void run_close_hook(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits) {
  if (close_hook()) close_hook()(device, driver, freed, waits);
}

void close_process_handles(Process* process) {
  std::vector<Handle> mine;
  {
    std::lock_guard<std::mutex> lock(handles().mutex);
    for (auto& [handle, entry] : handles().handles) {
      if (entry.process == process) mine.push_back(handle);
    }
  }
  for (Handle handle : mine) nt_close(handle);
}

static NTSTATUS create_file(const std::wstring& path, Handle* handle);

NTSTATUS nt_create_file(const std::wstring& path, Handle* handle) {
  user_mode_boundary();
  NTSTATUS status = create_file(path, handle);
  user_mode_boundary();
  return status;
}

static NTSTATUS create_file(const std::wstring& path, Handle* handle) {
  *handle = kInvalidHandle;
  std::wstring rest;
  bool initialising = false;
  PDEVICE_OBJECT device = resolve(path, &rest, &initialising);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = kIoTypeFile;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  set_file_name(file, rest);
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  if (!initialising) {
    Request create(file, IRP_MJ_CREATE);
    status = create.send();
  }
  note_thread_yield(__builtin_frame_address(0));
  if (!NT_SUCCESS(status)) {
    PDRIVER_OBJECT driver = device->DriverObject;
    free_file(file);
    bool freed = device_dereference(device);
    run_close_hook(device, driver, freed);
    return status;
  }
  std::lock_guard<std::mutex> lock(handles().mutex);
  *handle = handles().next;
  handles().next += 4;
  handles().handles[*handle] = HandleEntry{&current_process(), file};
  handles().file_references[file] = 1;
  return status;
}

// Cleanup as the handle goes, in the closing process; close once no request on
// the file object is left (it may be sent by the thread of the last one).
PFILE_OBJECT handle_file_object(Handle handle) {
  std::lock_guard<std::mutex> lock(handles().mutex);
  auto it = handles().handles.find(handle);
  return it == handles().handles.end() || it->second.process != &current_process() ? nullptr
                                                                                   : it->second.file;
}

NTSTATUS nt_close(Handle handle) {
  user_mode_boundary();
  PFILE_OBJECT file = take_handle(handle);
  if (file == nullptr) return STATUS_INVALID_HANDLE;
  {
    Request cleanup(file, IRP_MJ_CLEANUP);
    cleanup.send();
  }
  release_file(file);
  note_thread_yield(__builtin_frame_address(0));
  user_mode_boundary();
  return STATUS_SUCCESS;
}

static NTSTATUS send_control(PFILE_OBJECT file, ULONG code, const void* input, ULONG input_length,
                             void* output, ULONG output_length, ULONG_PTR* information);

NTSTATUS nt_device_io_control(Handle handle, ULONG code, const void* input, ULONG input_length, void* output,
                              ULONG output_length, ULONG_PTR* information) {
  user_mode_boundary();
  if (information != nullptr) *information = 0;
  PFILE_OBJECT file = reference_handle(handle);
  if (file == nullptr) return STATUS_INVALID_HANDLE;
  NTSTATUS status = send_control(file, code, input, input_length, output, output_length, information);
  release_file(file);
  note_thread_yield(__builtin_frame_address(0));
  user_mode_boundary();
  return status;
}

static NTSTATUS send_control(PFILE_OBJECT file, ULONG code, const void* input, ULONG input_length,
                             void* output, ULONG output_length, ULONG_PTR* information) {
  // An absent buffer is not probed, and the I/O manager makes its length 0 where
  // it would copy through it; a direct request's absent output gets no MDL but
  // keeps its length, which the driver must not trust.
  ULONG method = METHOD_FROM_CTL_CODE(code);
  if (input == nullptr && method != METHOD_NEITHER) input_length = 0;
  if (output == nullptr && method == METHOD_BUFFERED) output_length = 0;
  Request request(file, IRP_MJ_DEVICE_CONTROL);
  PIO_STACK_LOCATION stack = request.stack();
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
  stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
  ControlBuffers buffers{METHOD_FROM_CTL_CODE(code), output, output_length};
  prepare_buffers(request.irp(), buffers, input, input_length);
  // What the application lends the request, for the bus to tell a user address.
  user_range_add(output, output_length, &current_process());
  if (buffers.method == METHOD_NEITHER) user_range_add(input, input_length, &current_process());
  NTSTATUS status = request.send();
  bool completed = irp_is_completed(request.irp());
  user_range_remove(output);
  if (buffers.method == METHOD_NEITHER) user_range_remove(input);
  finish_buffers(request.irp(), buffers, completed);
  if (information != nullptr && completed) {
    *information = std::min<ULONG_PTR>(request.irp()->IoStatus.Information,
                                       buffers.method == METHOD_BUFFERED ? output_length : ~ULONG_PTR(0));
  }
  return status;
}

int open_handle_count() {
  std::lock_guard<std::mutex> lock(handles().mutex);
  return static_cast<int>(handles().handles.size());
}

}  // namespace sim
