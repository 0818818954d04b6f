#include <sim/verifier.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace sim {
namespace {

struct Expectation {
  Fault kind;
  int count = 0;
  std::vector<std::string> messages;
};

struct VerifierState {
  std::mutex mutex;
  std::condition_variable reported;
  FaultHandler handler;
  std::vector<Expectation*> expectations;
};

VerifierState& state() {
  static VerifierState* s = new VerifierState();
  return *s;
}

std::map<const ExpectFault*, Expectation>& expectation_store() {
  static auto* store = new std::map<const ExpectFault*, Expectation>();
  return *store;
}

void default_handler(const FaultReport& report) {
  std::fprintf(stderr, "verifier: %s: %s\n", fault_name(report.kind), report.message.c_str());
  std::abort();
}

}  // namespace

const char* fault_name(Fault fault) {
  switch (fault) {
#define SIM_FAULT_NAME(name, text) \
  case Fault::name:                \
    return text;
    SIM_FAULTS(SIM_FAULT_NAME)
#undef SIM_FAULT_NAME
  }
  return "unknown fault";
}

void set_fault_handler(FaultHandler handler) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().handler = std::move(handler);
}

void report_fault(Fault kind, std::string message) {
  FaultHandler handler;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    for (Expectation* e : state().expectations) {
      if (e->kind == kind) {
        e->count++;
        e->messages.push_back(message);
        state().reported.notify_all();
        return;
      }
    }
    handler = state().handler;
  }
  FaultReport report{kind, std::move(message)};
  if (handler) {
    handler(report);
  } else {
    default_handler(report);
  }
}

ExpectFault::ExpectFault(Fault kind) : kind_(kind) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Expectation& e = expectation_store()[this];
  e.kind = kind;
  state().expectations.push_back(&e);
}

ExpectFault::~ExpectFault() {
  int seen = 0;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    Expectation& e = expectation_store()[this];
    seen = e.count;
    auto& list = state().expectations;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (*it == &e) {
        list.erase(it);
        break;
      }
    }
    expectation_store().erase(this);
  }
  if (seen == 0) {
    report_fault(kind_, std::string("expected fault was never reported: ") + fault_name(kind_));
  }
}

bool ExpectFault::wait(std::chrono::milliseconds bound) const {
  std::unique_lock<std::mutex> lock(state().mutex);
  return state().reported.wait_for(lock, bound, [this] { return expectation_store()[this].count > 0; });
}

int ExpectFault::count() const {
  std::lock_guard<std::mutex> lock(state().mutex);
  return expectation_store()[this].count;
}

std::vector<std::string> ExpectFault::messages() const {
  std::lock_guard<std::mutex> lock(state().mutex);
  return expectation_store()[this].messages;
}

}  // namespace sim
