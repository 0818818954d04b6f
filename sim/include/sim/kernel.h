// Control of the simulated kernel from tests and tools: loading drivers, naming,
// time-out scaling and the debug log.
#pragma once

#include <sim/ntddk.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace sim {

// A loaded driver. The entry point runs at load; the driver is unloaded by the
// Plug and Play manager once its last device object is gone, and loaded again
// by the next device that needs it.
class Driver {
 public:
  Driver(PDRIVER_INITIALIZE entry, std::wstring service_name);
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  PDRIVER_OBJECT object();                                   // loads the driver first if it is not loaded
  PDRIVER_OBJECT current() const { return object_.load(); }  // null while unloaded
  bool loaded() const;
  // Unloads when no device object is left; reports leaks of the driver's pool,
  // IRPs and MDLs. Returns whether it unloaded.
  bool unload_if_idle();
  // Device objects of the driver, in the order the platform keeps them.
  std::vector<PDEVICE_OBJECT> devices() const;

 private:
  PDRIVER_INITIALIZE entry_;
  std::wstring service_;
  // Loaded and unloaded on the Plug and Play thread, looked at from any thread.
  std::atomic<PDRIVER_OBJECT> object_{nullptr};
};

// Waits until some thread is blocked in KeWaitForSingleObject on `event`: how a
// test knows that a routine has reached a wait.
bool wait_for_waiter(PKEVENT event, std::chrono::milliseconds bound);

// A wait without time-out that lasts this long is reported as a probable hang (it
// goes on waiting). The default is a minute.
void set_hang_report_after(std::chrono::milliseconds after);

// A completion routine that calls IofCallDriver, which completes inside the call
// and runs the next routine, nests one level deeper on the thread's stack. More
// than `limit` routines nested on one thread is reported (Windows' kernel stack
// holds few such levels). The default is 4.
void set_completion_nesting_limit(int limit);

// When on, KeSetEvent at DISPATCH_LEVEL that wakes a waiter lets the waiter run
// first: the setter continues once the woken thread has waited again or returned
// from its outermost call into a driver (bounded), so a routine that touches what
// the waiter frees after waking it does so every time. Off by default.
void set_waiter_runs_first(bool on);
// A power request still held this long after it was issued is reported, as
// Windows' DRIVER_POWER_STATE_FAILURE. Not scaled by the time-out scale; reset to
// the default between scenarios.
inline constexpr std::chrono::milliseconds kDefaultPowerRequestLimit{5000};
void set_power_request_limit(std::chrono::milliseconds limit);

// Kernel time-outs are multiplied by `scale` (1.0 is real time).
void set_timeout_scale(double scale);

// Text the driver printed with DbgPrintEx, one entry per call.
std::vector<std::string> debug_log();

// Names in the object namespace.
PDEVICE_OBJECT find_device(const std::wstring& device_name);
bool symbolic_link_exists(const std::wstring& link_name);
// Device objects deleted but kept alive by open handles.
int deferred_device_count();

// Driver pool allocations so far that gave no tag (ExAllocatePool) or asked for
// executable pool (NonPagedPool), which Windows' code integrity checks refuse, and
// system views of MDLs made executable (without MdlMappingNoExecute).
struct PoolHabits {
  long untagged;
  long executable;
  long executable_mappings;
};
PoolHabits driver_pool_habits();

// Checks at the end of a scenario that nothing the driver owns is left: pool,
// IRPs, MDLs and user views. Reported through the verifier.
void check_for_leaks(const char* when);

// Resets the kernel's tables between scenarios. Everything must be idle.
void reset_kernel();

}  // namespace sim
