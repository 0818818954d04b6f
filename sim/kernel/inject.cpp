#include <sim/inject.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "internal.h"

namespace sim {
namespace {

// A countdown: 0 means idle, n > 0 fails the nth call from now.
struct Countdown {
  std::atomic<int> remaining{0};
  bool fire() {
    int current = remaining.load();
    while (current > 0) {
      if (remaining.compare_exchange_weak(current, current - 1)) return current == 1;
    }
    return false;
  }
};

struct CallFailure {
  int remaining;
  NTSTATUS status;
};

// One point a test armed: a named service's calls, or a word's interlocked operations.
struct Point {
  std::string call;              // the service; empty for an interlocked point
  const volatile void* address;  // the word of an interlocked point
  inject::PointMatch match;      // null: every call
  int skip;                      // accepted calls to let through first
  int times;                     // accepted calls to stop
  std::function<void()> action;
};

struct CancelInjection {
  inject::IrpMatch match;
  int remaining = 0;
};

// The low resources simulation: a seeded generator and the share of calls it fails.
struct LowResources {
  std::mutex mutex;
  bool on = false;
  std::mt19937 random;
  std::bernoulli_distribution fail{0.0};
  std::atomic<long> failures{0};
  bool fire() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!on || !fail(random)) return false;
    failures++;
    return true;
  }
};

struct InjectState {
  Countdown pool, irp, mdl, user_mapping, system_mapping;
  LowResources low;
  std::atomic<long> pool_allocations{0};
  std::mutex mutex;
  std::map<std::string, CallFailure> calls;
  std::vector<Point> points;
  CancelInjection cancels[2];  // by inject::CancelPoint
};

InjectState& state() {
  static InjectState* s = new InjectState();
  return *s;
}

// Set while this thread runs a point's action or match: its own calls are not points.
thread_local bool t_at_point = false;

// The points armed of each kind: what the unarmed fast paths read. Under the
// state's mutex when written.
void count_points_locked() {
  int calls = 0, words = 0;
  for (const Point& p : state().points) (p.call.empty() ? words : calls)++;
  g_call_points_armed.store(calls, std::memory_order_relaxed);
  __atomic_store_n(&SimInterlockedPointsArmed, words, __ATOMIC_RELAXED);
}

bool point_accepts(const Point& p, const char* call, const volatile void* object) {
  if (call != nullptr ? p.call != call : (!p.call.empty() || p.address != object)) return false;
  return !p.match || p.match(object);
}

// Every armed point a call is for counts it; the actions due run outside the lock,
// in the order their points were armed: they may inject, or wait for other threads
// that pass points themselves.
void run_point(const char* call, const volatile void* object) {
  if (t_at_point) return;
  t_at_point = true;
  std::vector<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    std::vector<Point>& points = state().points;
    for (auto it = points.begin(); it != points.end();) {
      if (!point_accepts(*it, call, object)) {
        ++it;
      } else if (it->skip > 0) {
        it->skip--;
        ++it;
      } else {
        due.push_back(it->action);
        it = --it->times <= 0 ? points.erase(it) : it + 1;
      }
    }
    count_points_locked();
  }
  for (auto& action : due) action();
  t_at_point = false;
}

void arm_point(Point point) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().points.push_back(std::move(point));
  count_points_locked();
}

}  // namespace

std::atomic<int> g_call_points_armed{0};

void call_point_armed(const char* call, const volatile void* object) { run_point(call, object); }

bool inject_fail_pool() {
  state().pool_allocations++;
  return state().pool.fire() || state().low.fire();
}
bool inject_fail_irp() { return state().irp.fire() || state().low.fire(); }
bool inject_fail_mdl() { return state().mdl.fire() || state().low.fire(); }
bool inject_fail_user_mapping() { return state().user_mapping.fire() || state().low.fire(); }
bool inject_fail_system_mapping() { return state().system_mapping.fire() || state().low.fire(); }

bool inject_call_failure(const char* call, NTSTATUS* status, const volatile void* object) {
  call_point(call, object);
  std::lock_guard<std::mutex> lock(state().mutex);
  auto it = state().calls.find(call);
  if (it == state().calls.end()) return false;
  if (--it->second.remaining > 0) return false;
  *status = it->second.status;
  state().calls.erase(it);
  return true;
}

// The match runs outside the lock: it may look at the IRP as it likes.
bool inject_cancel_now(int point, PIRP irp) {
  inject::IrpMatch match;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().cancels[point].remaining <= 0) return false;
    match = state().cancels[point].match;
  }
  if (!match(irp)) return false;
  std::lock_guard<std::mutex> lock(state().mutex);
  CancelInjection& cancel = state().cancels[point];
  return cancel.remaining > 0 && --cancel.remaining == 0;
}

namespace inject {

void cancel_irp_at(CancelPoint point, IrpMatch match, int nth) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().cancels[static_cast<int>(point)] = CancelInjection{std::move(match), nth};
}

void fail_pool_allocation(int nth) { state().pool.remaining = nth; }
void fail_irp_allocation(int nth) { state().irp.remaining = nth; }
void fail_mdl_allocation(int nth) { state().mdl.remaining = nth; }
void fail_user_mapping(int nth) { state().user_mapping.remaining = nth; }
void fail_system_mapping(int nth) { state().system_mapping.remaining = nth; }

void fail_call(const std::string& call, NTSTATUS status, int nth) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().calls[call] = CallFailure{nth, status};
}

void at_call(const std::string& call, std::function<void()> action, int nth, int times, PointMatch match) {
  arm_point(Point{call, nullptr, std::move(match), nth - 1, times, std::move(action)});
}

void at_interlocked(const volatile void* address, std::function<void()> action, int nth, PointMatch match) {
  arm_point(Point{std::string(), address, std::move(match), nth - 1, 1, std::move(action)});
}

int points_armed() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return static_cast<int>(state().points.size());
}

void low_resources(uint32_t seed, double fraction) {
  LowResources& low = state().low;
  std::lock_guard<std::mutex> lock(low.mutex);
  low.on = true;
  low.random.seed(seed);
  low.fail = std::bernoulli_distribution(fraction);
  low.failures = 0;
}

long low_resources_failures() { return state().low.failures.load(); }

void clear() {
  {
    std::lock_guard<std::mutex> lock(state().low.mutex);
    state().low.on = false;
  }
  state().pool.remaining = 0;
  state().irp.remaining = 0;
  state().mdl.remaining = 0;
  state().user_mapping.remaining = 0;
  state().system_mapping.remaining = 0;
  std::lock_guard<std::mutex> lock(state().mutex);
  state().calls.clear();
  state().points.clear();
  count_points_locked();
  for (CancelInjection& cancel : state().cancels) cancel = CancelInjection{};
}

long pool_allocations() { return state().pool_allocations.load(); }

bool failure_armed() {
  InjectState& s = state();
  for (const Countdown* countdown : {&s.pool, &s.irp, &s.mdl, &s.user_mapping, &s.system_mapping}) {
    if (countdown->remaining.load() > 0) return true;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  return !s.calls.empty();
}

}  // namespace inject
}  // namespace sim

extern "C" {

LONG SimInterlockedPointsArmed = 0;

VOID NTAPI SimInterlockedPoint(const volatile VOID* Address) { sim::run_point(nullptr, Address); }

}  // extern "C"
