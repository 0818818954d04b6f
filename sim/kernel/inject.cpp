#include <sim/inject.h>

#include <atomic>
#include <map>
#include <mutex>
#include <random>

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

struct CallAction {
  int skip;   // calls to let through first
  int times;  // calls to stop
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
  std::map<std::string, CallAction> actions;
  CancelInjection cancels[2];  // by inject::CancelPoint
};

InjectState& state() {
  static InjectState* s = new InjectState();
  return *s;
}

// The action runs outside the lock: it may inject, or call the same service itself.
void run_call_action(const char* call) {
  std::function<void()> action;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto it = state().actions.find(call);
    if (it == state().actions.end()) return;
    if (it->second.skip > 0) {
      it->second.skip--;
      return;
    }
    action = it->second.action;
    if (--it->second.times <= 0) state().actions.erase(it);
  }
  action();
}

}  // namespace

bool inject_fail_pool() {
  state().pool_allocations++;
  return state().pool.fire() || state().low.fire();
}
bool inject_fail_irp() { return state().irp.fire() || state().low.fire(); }
bool inject_fail_mdl() { return state().mdl.fire() || state().low.fire(); }
bool inject_fail_user_mapping() { return state().user_mapping.fire() || state().low.fire(); }
bool inject_fail_system_mapping() { return state().system_mapping.fire() || state().low.fire(); }

bool inject_call_failure(const char* call, NTSTATUS* status) {
  run_call_action(call);
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

void at_call(const std::string& call, std::function<void()> action, int nth, int times) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().actions[call] = CallAction{nth - 1, times, std::move(action)};
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
  state().actions.clear();
  for (CancelInjection& cancel : state().cancels) cancel = CancelInjection{};
}

long pool_allocations() { return state().pool_allocations.load(); }

}  // namespace inject
}  // namespace sim

namespace sim::inject {

bool failure_armed() {
  InjectState& s = state();
  for (const Countdown* countdown : {&s.pool, &s.irp, &s.mdl, &s.user_mapping, &s.system_mapping}) {
    if (countdown->remaining.load() > 0) return true;
  }
  std::lock_guard<std::mutex> lock(s.mutex);
  return !s.calls.empty();
}

}  // namespace sim::inject
