// Events, waits and spin locks. Event state lives under one dispatcher lock, as in
// the Windows kernel; spin locks are real spin locks over the KSPIN_LOCK word,
// owned by a per-thread token so that a release by another thread is caught.
// Locks: the dispatcher lock guards events, waiter counts and hand-offs; the
// thread-stack lock guards the registry of threads' stacks and is never held
// while taking another.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
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

// Waiter runs first: KeSetEvent at DISPATCH_LEVEL that wakes waiters holds the
// setter until each woken thread has run to its next yield point, or the bound.
struct Handoff {
  PKEVENT event;
  int expected;
  int woken = 0;
  int done = 0;
};
constexpr auto kHandoffBound = std::chrono::milliseconds(250);
std::atomic<bool> g_waiter_first{false};
std::vector<std::shared_ptr<Handoff>> g_handoffs;  // guarded by the dispatcher lock
thread_local std::shared_ptr<Handoff> t_handoff;

// Each thread's stack extent and the highest stack pointer it showed at a yield
// point since its last request was built: a frame below that has returned.
struct ThreadStack {
  uintptr_t low = 0;
  uintptr_t high = 0;
  std::atomic<uintptr_t> highest_sp{0};
};
std::mutex g_stacks_mutex;
std::map<std::thread::id, ThreadStack*>& stacks() {
  static auto* m = new std::map<std::thread::id, ThreadStack*>();
  return *m;
}

struct ThreadStackHolder {
  ThreadStack stack;
  ThreadStackHolder() {
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      pthread_attr_getstack(&attr, &base, &size);
      pthread_attr_destroy(&attr);
    }
    stack.low = reinterpret_cast<uintptr_t>(base);
    stack.high = stack.low + size;
    std::lock_guard<std::mutex> lock(g_stacks_mutex);
    stacks()[std::this_thread::get_id()] = &stack;
  }
  ~ThreadStackHolder() {
    std::lock_guard<std::mutex> lock(g_stacks_mutex);
    stacks().erase(std::this_thread::get_id());
  }
};

ThreadStack& my_stack() {
  thread_local ThreadStackHolder holder;
  return holder.stack;
}

__attribute__((noinline)) uintptr_t stack_pointer() {
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

void note_stack_pointer(const void* frame) {
  ThreadStack& mine = my_stack();
  auto sp = reinterpret_cast<uintptr_t>(frame);
  uintptr_t seen = mine.highest_sp.load(std::memory_order_relaxed);
  while (sp > seen && !mine.highest_sp.compare_exchange_weak(seen, sp)) {
  }
}

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

// A woken waiter joins the hand-off its setter waits on.
void join_handoff(PKEVENT event) {
  for (auto& handoff : g_handoffs) {
    if (handoff->event == event && handoff->woken < handoff->expected) {
      handoff->woken++;
      t_handoff = handoff;
      return;
    }
  }
}

enum class WaitEnd { Signalled, TimedOut, Interrupted };

// Waits on the event under the dispatcher lock. The thread's termination ends an
// interruptible wait (a UserMode one, or an alertable one); the event is looked
// at first, so a wait that can be satisfied is.
WaitEnd wait_event(PKEVENT event, const LARGE_INTEGER* timeout, bool interruptible) {
  note_thread_yield(__builtin_frame_address(0));
  std::unique_lock<std::mutex> lock(dispatcher_mutex());
  auto signalled = [event, interruptible] {
    return event->Header.SignalState != 0 || (interruptible && termination_pending());
  };
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
      // A terminated thread that cannot get out is named as such by its watchdog.
      if (!termination_pending()) {
        report_fault(Fault::ProbableHang, "KeWaitForSingleObject on " + hex((uintptr_t)event));
      }
      dispatcher_cv().wait(lock, signalled);
    }
  } else {
    // Negative: relative, in 100 ns units. Positive (absolute) times are not used by
    // this driver and are treated as relative.
    LONGLONG units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
    auto span = std::chrono::nanoseconds(
        static_cast<int64_t>(static_cast<double>(units) * 100.0 * g_timeout_scale.load()));
    if (!dispatcher_cv().wait_for(lock, span, signalled)) return WaitEnd::TimedOut;
  }
  if (event->Header.SignalState == 0) return WaitEnd::Interrupted;
  if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
  join_handoff(event);
  return WaitEnd::Signalled;
}

// Holds the setter until the waiters it woke have run, or the bound passes.
void hand_off(std::unique_lock<std::mutex>& lock, PKEVENT event) {
  auto waiting = g_waiters.find(event);
  if (waiting == g_waiters.end()) return;
  int expected = event->Header.Type == SynchronizationEvent ? 1 : waiting->second;
  auto handoff = std::make_shared<Handoff>(Handoff{event, expected});
  g_handoffs.push_back(handoff);
  dispatcher_cv().wait_for(lock, kHandoffBound, [&] { return handoff->done >= handoff->expected; });
  g_handoffs.erase(std::find(g_handoffs.begin(), g_handoffs.end(), handoff));
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

bool spin_lock_held_by_me(PKSPIN_LOCK lock) {
  return std::find(t_held.begin(), t_held.end(), lock) != t_held.end();
}

bool event_waited_in(const void* p, size_t length) {
  auto start = reinterpret_cast<uintptr_t>(p);
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  for (auto& [event, count] : g_waiters) {
    auto at = reinterpret_cast<uintptr_t>(event);
    if (at < start + length && start < at + sizeof(KEVENT)) return true;
  }
  return false;
}

void note_thread_yield(const void* frame) {
  note_stack_pointer(frame);
  if (!t_handoff) return;
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  t_handoff->done++;
  t_handoff.reset();
  dispatcher_cv().notify_all();
}

void set_waiter_runs_first(bool on) { g_waiter_first.store(on); }

// With AddressSanitizer's fake stacks a local may live in a fake frame instead: it
// is live while that frame is.
void watch_fake_frame(StackWatch& watch, const void* object) {
#ifdef SIM_ASAN
  void* fake_stack = __asan_get_current_fake_stack();
  if (fake_stack == nullptr || watch.fake_object != nullptr) return;
  if (__asan_addr_is_in_fake_stack(fake_stack, const_cast<void*>(object), nullptr, nullptr) == nullptr)
    return;
  watch.fake_stack = fake_stack;
  watch.fake_object = object;
#else
  (void)watch;
  (void)object;
#endif
}

// Whether an object lies in the calling thread's stack (or in one of its
// AddressSanitizer fake frames).
bool on_my_stack(const void* object) {
  ThreadStack& mine = my_stack();
  auto at = reinterpret_cast<uintptr_t>(object);
  if (at >= mine.low && at < mine.high) return true;
#ifdef SIM_ASAN
  void* fake_stack = __asan_get_current_fake_stack();
  return fake_stack != nullptr &&
         __asan_addr_is_in_fake_stack(fake_stack, const_cast<void*>(object), nullptr, nullptr) != nullptr;
#else
  return false;
#endif
}

bool fake_frame_live(const StackWatch& watch) {
#ifdef SIM_ASAN
  return __asan_addr_is_in_fake_stack(watch.fake_stack, const_cast<void*>(watch.fake_object), nullptr,
                                      nullptr) != nullptr;
#else
  (void)watch;
  return true;
#endif
}

StackWatch stack_watch_begin(const void* event, const void* status_block) {
  ThreadStack& mine = my_stack();
  StackWatch watch;
  watch.builder = std::this_thread::get_id();
  for (auto [object, size] : {std::pair<const void*, size_t>{event, sizeof(KEVENT)},
                              std::pair<const void*, size_t>{status_block, sizeof(IO_STATUS_BLOCK)}}) {
    auto at = reinterpret_cast<uintptr_t>(object);
    if (object != nullptr && (at < mine.low || at >= mine.high)) watch_fake_frame(watch, object);
    if (object == nullptr || at < mine.low || at >= mine.high) continue;
    watch.low = watch.low == 0 ? at : std::min(watch.low, at);
    watch.high = std::max(watch.high, at + size);
  }
  mine.highest_sp.store(stack_pointer());
  return watch;
}

bool stack_watch_still_live(const StackWatch& watch, const std::string& what) {
  if (watch.low == 0 && watch.fake_object == nullptr) return true;
  uintptr_t highest = 0;
  bool builder_alive = true;
  if (std::this_thread::get_id() == watch.builder) {
    highest = std::max(my_stack().highest_sp.load(), stack_pointer());
  } else {
    std::lock_guard<std::mutex> lock(g_stacks_mutex);
    auto it = stacks().find(watch.builder);
    builder_alive = it != stacks().end();
    highest = builder_alive ? it->second->highest_sp.load() : ~uintptr_t(0);
  }
  bool live = watch.low == 0 || highest <= watch.low;
  if (watch.fake_object != nullptr) live = live && builder_alive && fake_frame_live(watch);
  if (live) return true;
  report_fault(Fault::StatusBlockOutOfScope, what +
                                                 " completed after the frame of its builder that holds its " +
                                                 "event or I/O status block returned");
  return false;
}

void lock_order_reset() {
  std::lock_guard<std::mutex> guard(g_order_mutex);
  g_order.clear();
}

std::chrono::milliseconds hang_report_after() { return std::chrono::milliseconds(g_hang_report_ms.load()); }

void set_hang_report_after(std::chrono::milliseconds after) {
  g_hang_report_ms.store(after.count() > 0 ? after.count() : kDefaultHangReportMs);
}
void set_timeout_scale(double scale) { g_timeout_scale.store(scale); }

}  // namespace sim

using namespace sim;

namespace {

LONG reset_event(PRKEVENT Event) {
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

}  // namespace

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
  call_point("KeSetEvent", Event);
  if (!is_event(Event)) {
    report_fault(Fault::WaitOnUninitialisedEvent, "KeSetEvent on " + hex((uintptr_t)Event));
  }
  irql_check("KeSetEvent");
  std::unique_lock<std::mutex> lock(dispatcher_mutex());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  dispatcher_cv().notify_all();
  if (g_waiter_first.load() && current_irql() >= DISPATCH_LEVEL && previous == 0) hand_off(lock, Event);
  return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  call_point("KeResetEvent", Event);
  irql_check("KeResetEvent");
  return reset_event(Event);
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  call_point("KeClearEvent", Event);
  irql_check("KeClearEvent");
  reset_event(Event);
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) {
  call_point("KeQueryInterruptTime", nullptr);
  static const auto boot = std::chrono::steady_clock::now();
  auto since = std::chrono::steady_clock::now() - boot;
  return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  call_point("KeReadStateEvent", Event);
  irql_check("KeReadStateEvent");
  std::lock_guard<std::mutex> lock(dispatcher_mutex());
  return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  UNREFERENCED_PARAMETER(WaitReason);
  call_point("KeWaitForSingleObject", Object);
  bool zero = Timeout != nullptr && Timeout->QuadPart == 0;
  if (zero && current_irql() > DISPATCH_LEVEL) irql_check("KeWaitForSingleObject");
  if (!zero && current_irql() > APC_LEVEL) {
    report_fault(Fault::WaitAtDispatchLevel, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
  }
  if (!zero && spin_locks_held() > 0) {
    report_fault(Fault::WaitWithSpinLockHeld, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
  }
  // A thread waiting in UserMode may have its kernel stack paged out.
  if (WaitMode == UserMode && on_my_stack(Object)) {
    report_fault(Fault::UserModeWaitOnStack, "KeWaitForSingleObject(UserMode) on " + hex((uintptr_t)Object));
  }
  if (!is_event(Object)) {
    report_fault(Fault::WaitOnUninitialisedEvent, "KeWaitForSingleObject on " + hex((uintptr_t)Object));
    return STATUS_INVALID_PARAMETER;
  }
  // While it waits, other threads run: views this one opened close.
  if (!zero) close_open_views();
  // Thread termination interrupts a UserMode wait, alertable or not, with
  // STATUS_USER_APC, and an alertable KernelMode wait with STATUS_ALERTED; a
  // non-alertable KernelMode wait goes on.
  switch (wait_event(static_cast<PKEVENT>(Object), Timeout, WaitMode == UserMode || Alertable)) {
    case WaitEnd::Signalled:
      return STATUS_SUCCESS;
    case WaitEnd::TimedOut:
      return STATUS_TIMEOUT;
    case WaitEnd::Interrupted:
      break;
  }
  return WaitMode == UserMode ? STATUS_USER_APC : STATUS_ALERTED;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  forget_lock_order(SpinLock);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  call_point("KeAcquireSpinLockRaiseToDpc", SpinLock);
  KIRQL old = current_irql();
  if (old > DISPATCH_LEVEL) {
    report_fault(Fault::IrqlRaisedAboveDispatch, "spin lock acquired above DISPATCH_LEVEL");
  }
  set_irql(DISPATCH_LEVEL);
  acquire_at_dpc(SpinLock);
  return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  call_point("KeReleaseSpinLock", SpinLock);
  release_at_dpc(SpinLock);
  set_irql(NewIrql);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  call_point("KeAcquireSpinLockAtDpcLevel", SpinLock);
  if (current_irql() != DISPATCH_LEVEL) {
    report_fault(Fault::SpinLockReleasedAtWrongLevel, "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  }
  acquire_at_dpc(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  call_point("KeReleaseSpinLockFromDpcLevel", SpinLock);
  release_at_dpc(SpinLock);
}

}  // extern "C"
