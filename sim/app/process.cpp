// Processes and the per-thread notion of the current one.
#include <algorithm>
#include <vector>

#include <sim/app.h>

#include "../kernel/internal.h"

namespace sim {

thread_local Process* t_current = nullptr;
// The attach states of KeStackAttachProcess on this thread, innermost last.
thread_local std::vector<PKAPC_STATE> t_attached;

int process_attach_depth() { return static_cast<int>(t_attached.size()); }

std::string attach_report(const char* where, int depth_before) {
  return std::string(where) + " returned with the thread attached to process " + current_process().name() +
         " (" + std::to_string(process_attach_depth() - depth_before) + " attach(es) not undone)";
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

// A thread changing process leaves the views it opened behind.
ProcessScope::ProcessScope(Process& process) : saved_(t_current) {
  close_open_views();
  t_current = &process;
}
ProcessScope::~ProcessScope() {
  close_open_views();
  t_current = saved_;
}

}  // namespace sim

extern "C" PEPROCESS NTAPI IoGetCurrentProcess(VOID) {
  sim::irql_check("IoGetCurrentProcess");
  return sim::current_process().object();
}

// The thread runs in the given process until the matching detach; ApcState keeps
// the process it ran in before.
extern "C" VOID NTAPI KeStackAttachProcess(PKPROCESS Process, PKAPC_STATE ApcState) {
  sim::irql_check("KeStackAttachProcess");
  ApcState->Process = reinterpret_cast<PKPROCESS>(&sim::current_process());
  sim::close_open_views();
  sim::t_current = reinterpret_cast<sim::Process*>(Process);
  sim::t_attached.push_back(ApcState);
}

extern "C" VOID NTAPI KeUnstackDetachProcess(PKAPC_STATE ApcState) {
  sim::irql_check("KeUnstackDetachProcess");
  auto& attached = sim::t_attached;
  auto it = std::find(attached.begin(), attached.end(), ApcState);
  if (it == attached.end() || it + 1 != attached.end()) {
    sim::report_fault(sim::Fault::ProcessAttachUnbalanced,
                      it == attached.end()
                          ? "KeUnstackDetachProcess with an ApcState of no attach on this thread"
                          : "KeUnstackDetachProcess of an attach that is not the thread's last");
    if (it == attached.end()) return;
  }
  sim::close_open_views();
  sim::t_current = reinterpret_cast<sim::Process*>(ApcState->Process);
  attached.erase(it, attached.end());
}
