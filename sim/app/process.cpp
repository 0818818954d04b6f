// Processes and the per-thread notion of the current one.
#include <sim/app.h>

#include "../kernel/internal.h"

namespace sim {
namespace {
thread_local Process* t_current = nullptr;
}

void close_process_handles(Process* process);

Process::Process(std::string name) : name_(std::move(name)) {}

Process::~Process() {
  ProcessScope scope(*this);
  close_process_handles(this);
  process_check_views(this);
}

Process& default_process() {
  static Process* p = new Process("application");
  return *p;
}

Process& system_process() {
  static Process* p = new Process("System");
  return *p;
}

Process& current_process() { return t_current != nullptr ? *t_current : default_process(); }

ProcessScope::ProcessScope(Process& process) : saved_(t_current) { t_current = &process; }
ProcessScope::~ProcessScope() { t_current = saved_; }

}  // namespace sim

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
  sim::irql_check("IoGetCurrentProcess");
  return sim::current_process().object();
}
