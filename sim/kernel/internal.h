// Internal helpers of the simulated kernel, shared by its files. Not for driver code.
#pragma once

#include <sim/ntddk.h>
#include <sim/verifier.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// SIM_ASAN: built with AddressSanitizer, whose interface the pool and the stack
// checks use.
#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ASAN 1
#endif
#endif
#ifdef SIM_ASAN
#include <sanitizer/asan_interface.h>
#endif

// Names of Windows' codes, from lists of the form LIST(X), X(code) once per code,
// as the control codes are listed: a switch arm that answers the code's own
// spelling. `switch (code) { LIST(SIM_NAME_CASE) default: ... }`.
#define SIM_NAME_CASE(code) \
  case code:                \
    return #code;

namespace sim {

std::string hex(uint64_t value);
std::string describe_irp(PIRP irp);

// IRQL of the calling thread.
KIRQL current_irql();
void set_irql(KIRQL irql);
int spin_locks_held();
bool spin_lock_held_by_me(PKSPIN_LOCK lock);
// Reports a call of `routine` above the highest level Windows allows for it (one
// table in irql.cpp); false when it was reported.
bool irql_check(const char* routine);
KIRQL highest_level_for(const char* routine);
// The calling thread reached a point where Windows' scheduler would let a thread
// it woke run: a wait, or the return of its outermost call into a driver. `frame`
// is the caller's frame (__builtin_frame_address(0)): every frame below it has
// returned.
void note_thread_yield(const void* frame);

// Whether the event and I/O status block of a request built by
// IoBuildDeviceIoControlRequest still lie in live frames of the thread that built
// it: an object in a frame below the highest stack pointer the thread showed
// since the build belongs to a frame that has returned.
struct StackWatch {
  std::thread::id builder;
  uintptr_t low = 0;  // extent of the objects on the builder's stack; 0: none there
  uintptr_t high = 0;
  void* fake_stack = nullptr;  // AddressSanitizer's fake stack holding one of them
  const void* fake_object = nullptr;
};
StackWatch stack_watch_begin(const void* event, const void* status_block);
bool stack_watch_still_live(const StackWatch& watch, const std::string& what);
// Forgets the order in which spin locks were taken: a new scenario's locks may sit
// at addresses an earlier scenario's used.
void lock_order_reset();

// The hang bound: a wait without time-out, or a terminated thread, still there
// after this long is reported.
std::chrono::milliseconds hang_report_after();

// Whether some thread waits on an event lying in [p, p + length).
bool event_waited_in(const void* p, size_t length);
// Whether a guarded call (an exception handler) is active on the calling thread.
bool guarded_call_active();

// Application threads. The state of the calling thread's termination; a thread
// that is no application thread is never terminated.
bool termination_pending();
// At the edge of user mode (entering or leaving an application call): a thread
// whose termination is pending exits here and does not return.
void user_mode_boundary();
// Attaches of KeStackAttachProcess the calling thread has not undone, and the
// report of a routine that returned with more than it found.
int process_attach_depth();
std::string attach_report(const char* where, int depth_before);

// Requests drivers build on an application thread are its own until they
// complete: cancelled when it exits.
void thread_irp_add(PIRP irp);
void thread_irp_remove(PIRP irp);

// Runs a block at a raised IRQL, as completions on the host controller do.
class IrqlScope {
 public:
  explicit IrqlScope(KIRQL irql);
  ~IrqlScope();
  IrqlScope(const IrqlScope&) = delete;
  IrqlScope& operator=(const IrqlScope&) = delete;

 private:
  KIRQL saved_;
};

// The dispatcher lock guards every event's state; waiters sleep on one condition.
std::mutex& dispatcher_mutex();
std::condition_variable& dispatcher_cv();

// Pool. Owner decides which allocations count against the driver at unload.
enum class PoolOwner { Driver, Platform };
void* pool_alloc(size_t size, PoolOwner owner, const char* file, int line);
// `keep_pages`: the block leaves the pool but its pages stay as they are, for a
// thread still using them after a reported fault.
void pool_free(void* p, PoolOwner expected, bool keep_pages = false);
// The size of the live block that starts at p, or 0.
size_t pool_block_size(const void* p);
// Platform blocks whose every byte the next user overwrites (the I/O manager's
// copies of caller buffers) are kept populated for reuse instead of freed: a kept
// block is inaccessible until taken again. pool_take_kept returns null when no
// kept block has exactly `size` bytes; the block's content is left as it was.
void pool_keep(void* p);
void* pool_take_kept(size_t size, const char* file, int line);
bool pool_contains(const void* p, size_t length);
// Backing of an address range inside the pool arena: file offset of its first page.
bool pool_backing(const void* p, size_t length, int* fd, uint64_t* page_offset);
void pool_check_leaks(const char* when);
// Starts the arena over when no block is live (between scenarios).
void pool_reset();

// IRP bookkeeping. IRPs the platform builds (application requests, I/O-manager
// requests, Plug and Play and power requests) carry a finisher that runs when
// completion reaches the top.
using IrpFinisher = std::function<void(PIRP)>;
PIRP irp_allocate(CCHAR stack_size, bool injectable);
void irp_set_finisher(PIRP irp, IrpFinisher finisher);
void irp_release(PIRP irp);  // frees a platform IRP once nothing is running on it
bool irp_is_completed(PIRP irp);
void irp_set_held_below(PIRP irp, bool held);  // the bus owns the IRP
void irp_complete_from_below(PIRP irp);        // the bus completes an IRP it held
void irp_check_leaks(const char* when);
// Memory a lower driver still uses while it holds a request (a URB, its buffer,
// its MDL): freeing it meanwhile is reported. Keyed by the start address.
void held_memory_add(const void* p, size_t length, const std::string& what);
void held_memory_remove(const void* p);
// Reports, naming `operation`, when [p, p + length) overlaps held memory; true
// when it did.
bool held_memory_check(const void* p, size_t length, const char* operation);
void irp_reset_tracking();

// MDLs and views.
// An MDL; with a backing it describes an application's locked pages whose bytes
// live at `platform_backing` (the I/O manager's own MDLs).
PMDL mdl_allocate(PVOID address, ULONG length, void* platform_backing);
class Process;
void process_check_views(Process* process);
// A user view that shows part of [p, p + length): its description, or empty.
std::string mdl_view_over(const void* p, size_t length);
// Makes user views opened by an access from their own process inaccessible again:
// called wherever a thread changes process, waits, or returns to user mode.
void close_open_views();
// Application memory: the buffers of live requests (added and removed by the I/O
// manager) and user views. user_range_of describes what of it [p, p + length)
// touches, or is empty.
void user_range_add(const void* p, size_t length, Process* process);
void user_range_remove(const void* p);
std::string user_range_of(const void* p, size_t length);
void mdl_check_leaks(const char* when);
// An application's buffer locked for a direct request (locked_pages.cpp): the
// system view of its pages is `system`, page numbers run on from `first_pfn`.
// Its first and last page, when they are only partly the buffer's and not already
// held, are held beside (`head_edge`, `tail_edge`): their buffer bytes are copied
// in as it is locked and back as it is unlocked. lock_user_pages returns false
// when the buffer cannot be locked so (the caller copies it instead).
struct LockedPages {
  void* buffer;
  size_t length;
  uint8_t* system;
  PFN_NUMBER first_pfn;
  void* extent;
  bool head_edge;
  bool tail_edge;
};
bool lock_user_pages(void* buffer, size_t length, LockedPages* locked);
void unlock_user_pages(const LockedPages& locked);
// The memory file and page number behind an address of a locked buffer's system view.
bool locked_pages_backing(const void* p, size_t length, int* fd, uint64_t* page_offset, PFN_NUMBER* pfn);

// Kernel-mode views mapped without MdlMappingNoExecute.
long mdl_executable_mappings();

// Devices and names. device_create is IoCreateDevice without injected failures,
// for the platform's own device objects.
NTSTATUS device_create(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name, DEVICE_TYPE type,
                       ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device);
PDEVICE_OBJECT device_lookup(const std::wstring& name);
std::wstring symlink_target(const std::wstring& link);
// Looks a device up by name and takes a handle's reference on it, in one step, so
// that a concurrent deletion cannot free it in between.
// `initialising` says whether the device may not be opened yet.
PDEVICE_OBJECT device_open_by_name(const std::wstring& name, bool* initialising);
// A device object's reference count (open handles), read under the table lock.
LONG device_reference_count(PDEVICE_OBJECT device);
// Around a driver's entry or AddDevice on the thread that runs it: devices created
// inside are initialising until the call returns. After the entry the I/O manager
// clears DO_DEVICE_INITIALIZING itself; after AddDevice the driver must have.
void driver_setup_begin();
void driver_setup_end(bool clear_flags);
// Drops a handle's reference; returns true when that freed a deleted device object.
bool device_dereference(PDEVICE_OBJECT device);

// Runs after every close, with the device object the handle was opened on (which
// may be freed by then: compare, do not dereference) and its driver; also when the
// last pointer reference frees a device object. `waits` says whether the caller
// may wait for the Plug and Play thread (a close may; a driver routine may not).
using CloseHook = std::function<void(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits)>;
void set_close_hook(CloseHook hook);
void run_close_hook(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, bool freed, bool waits = true);
void object_reset();
bool driver_has_devices(PDRIVER_OBJECT driver);
// The driver's list of device objects, read under the lock that guards its changes.
std::vector<PDEVICE_OBJECT> driver_devices(PDRIVER_OBJECT driver);

// Power requests the power manager issued, live until their completion reaches
// the top; reset between scenarios.
// `top` is the top of the stack it goes to; `by_driver` says a driver asked for it
// (PoRequestPowerIrp), not the power manager. A device request a driver asks for
// while a system set-power is live on the same stack is taken as issued for it.
void power_irp_issued(PIRP irp, PDEVICE_OBJECT top, bool by_driver);  // call before sending it
void power_irp_finished(PIRP irp);
void power_reset();

// Debug output captured from DbgPrintEx.
void debug_log_clear();

// DEVICE_OBJECT.Type of every device object IoCreateDevice makes.
constexpr CSHORT kIoTypeDevice = 3;

// Hooks for failures a test injects into kernel services.
bool inject_fail_pool();
bool inject_fail_irp();
bool inject_fail_mdl();
bool inject_fail_user_mapping();
bool inject_fail_system_mapping();
// At the entry of a named service: runs the action a test set for the call
// (inject::at_call), then says whether the call is to fail and with what.
bool inject_call_failure(const char* call, NTSTATUS* status, const volatile void* object = nullptr);
// At the entry of every other service the driver calls (inject::at_call): one
// relaxed load while no call point is armed.
extern std::atomic<int> g_call_points_armed;
void call_point_armed(const char* call, const volatile void* object);
inline void call_point(const char* call, const volatile void* object) {
  if (g_call_points_armed.load(std::memory_order_relaxed) != 0) call_point_armed(call, object);
}
// Whether an injected cancel hits `irp` now; point 0: before a completion routine,
// 1: before a re-submission.
bool inject_cancel_now(int point, PIRP irp);

}  // namespace sim
