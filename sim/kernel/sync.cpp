// Events, waits and spin locks. Event state lives under one dispatcher lock, as in
// the Windows kernel; spin locks are real spin locks over the KSPIN_LOCK word,
// owned by a per-thread token so that a release by another thread is caught.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include <sim/kernel.h>

#include "internal.h"

namespace sim {
namespace {

constexpr UCHAR kEventSizeMark = sizeof(KEVENT) / sizeof(LONG);
constexpr int64_t kDefaultHangReportMs = 60000;
std::atomic<int64_t> g_hang_report_ms{kDefaultHangReportMs};

std::atomic<double> g_timeout_scale{1.0};
std::atomic<uintptr_t> g_next_token{1};
thread_local uintptr_t t_token = 0;
thread_local std::vector<PKSPIN_LOCK> t_held;

std::map<PKEVENT, int> g_waiters;  // guarded by the dispatcher lock

std::mutex g_order_mutex;
std::set<std::pair<uintptr_t, uintptr_t>> g_order;

uintptr_t thread_token() {
  if (t_token == 0) t_token = g_next_token.fetch_add(1);
  return t_token;
}

bool is_event(PVOID object) {
  auto* header = &static_cast<PKEVENT>(object)->Header;
  return header->Size == kEventSizeMark && header->Type <= SynchronizationEvent;
}

void note_lock_order(PKSPIN_LOCK lock) {
  if (t_held.empty()) return;
  std::lock_guard<std::mutex> guard(g_order_mutex);
  for (PKSPIN_LOCK held : t_held) {
    auto a = reinterpret_cast<uintptr_t>(held);
    auto b = reinterpret_cast<uintptr_t>(lock);
    if (g_order.count({b, a})) {
      report_fault(Fault::SpinLockOrderInverted,
                   "lock " + hex(b) + " taken while holding " + hex(a) + ", elsewhere the other way round");
    }
    g_order.insert({a, b});
  }
}

void forget_lock_order(PKSPIN_LOCK lock) {
  auto key = reinterpret_cast<uintptr_t>(lock);
  std::lock_guard<std::mutex> guard(g_order_mutex);
  for (auto it = g_order.begin(); it != g_order.end();) {
    it = (it->first == key || it->second == key) ? g_order.erase(it) : std::next(it);
  }
}

void acquire_at_dpc(PKSPIN_LOCK lock) {
  uintptr_t me = thread_token();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    report_fault(Fault::SpinLockAcquiredRecursively, "spin lock " + hex((uintptr_t)lock));
    return;
  }
  note_lock_order(lock);
  for (;;) {
    uintptr_t expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      break;
    }
    std::this_thread::yield();
  }
  t_held.push_back(lock);
}

void release_at_dpc(PKSPIN_LOCK lock) {
  if (current_irql() != DISPATCH_LEVEL) {
    report_fault(Fault::SpinLockReleasedAtWrongLevel,
                 "spin lock " + hex((uintptr_t)lock) + " released at IRQL " + std::to_string(current_irql()));
  }
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != thread_token()) {
    report_fault(Fault::SpinLockReleasedByNonOwner, "spin lock " + hex((uintptr_t)lock));
    return;
  }
  t_held.erase(std::find(t_held.begin(), t_held.end(), lock));
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

// Waits on the event under the dispatcher lock. Returns false on time-out.
bool wait_event(PKEVENT event, const LARGE_INTEGER* timeout) {
  std::unique_lock<std::mutex> lock(dispatcher_mutex());
  auto signalled = [event] { return event->Header.SignalState != 0; };
  g_waiters[event]++;
  dispatcher_cv().notify_all();
  struct Leave {
    PKEVENT event;
    ~Leave() {
      if (--g_waiters[event] == 0) g_waiters.erase(event);
    }
  } leave{event};
  if (timeout == nullptr) {
    if (!dispatcher_cv().wait_for(lock, std::chrono::milliseconds(g_hang_report_ms.load()), signalled)) {
      report_fault(Fault::ProbableHang, "KeWaitForSingleObject on " + hex((uintptr_t)event));
      dispatcher_cv().wait(lock, signalled);
    }
  } else {
    // Negative: relative, in 100 ns units. Positive (absolute) times are not used by
    // this driver and are treated as relative.
    LONGLONG units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
    auto span = std::chrono::nanoseconds(
        static_cast<int64_t>(static_cast<double>(units) * 100.0 * g_timeout_scale.load()));
    if (!dispatcher_cv().wait_for(lock, span, signalled)) return false;
  }
  if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
  return true;
}

}  // namespace

std::mutex& dispatcher_mutex() {
  static std::mutex* m = new std::mutex();
  return *m;
}

std::condition_variable& dispatcher_cv() {
  static std::condition_variable* cv = new std::condition_variable();
  return *cv;
}

bool wait_for_waiter(PKEVENT event, std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(dispatcher_mutex());
  return dispatcher_cv().wait_for(lock, bound, [event] { return g_waiters.count(event) != 0; });
}

int spin_locks_held() { return static_cast<int>(t_held.size()); }

void lock_order_reset() {
  std::lock_guard<std::mutex> guard(g_order_mutex);
  g_order.clear();
}

void set_hang_report_after(std::chrono::milliseconds after) {
  g_hang_report_ms.store(after.count() > 0 ? after.count() : kDefaultHangReportMs);
}
void set_timeout_scale(double scale) { g_timeout_scale.store(scale); }

}  // namespace sim

using namespace sim;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  memset(Event, 0, sizeof(*Event));
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Size = kEventSizeMark;
  Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
  UNREFERENCED_PARAMETER(Increment);
  UNREFERENCED_PARAMETER(Wait);
  if (!is_event(Event)) {
    report_fault(Fault::WaitOnUninitialisedEvent, "KeSetEvent on " + hex((uintptr_t)Event));
  }
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  dispatcher_cv().notify_all();
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  UNREFERENCED_PARAMETER(WaitMode);
  UNREFERENCED_PARAMETER(Alertable);
  bool zero = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!zero && current_irql() >= DISPATCH_LEVEL) {
    report_fault(Fault::WaitAtDispatchLevel, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
  }
  if (!zero && spin_locks_held() > 0) {
    report_fault(Fault::WaitWithSpinLockHeld, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
  }
  if (!is_event(Object)) {
    report_fault(Fault::WaitOnUninitialisedEvent, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
    return STATUS_INVALID_PARAMETER;
  }
  return wait_event(static_cast<PKEVENT>(Object), Timeout) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  forget_lock_order(SpinLock);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  KIRQL old = current_irql();
  if (old > DISPATCH_LEVEL) {
    report_fault(Fault::IrqlRaisedAboveDispatch, "spin lock acquired above DISPATCH_LEVEL");
  }
  set_irql(DISPATCH_LEVEL);
  acquire_at_dpc(SpinLock);
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  release_at_dpc(SpinLock);
  set_irql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (current_irql() != DISPATCH_LEVEL) {
    report_fault(Fault::SpinLockReleasedAtWrongLevel, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  }
  acquire_at_dpc(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { release_at_dpc(SpinLock); }

}  // extern "C"
