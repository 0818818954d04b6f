// Application threads: their termination, their exit at the edge of user mode, and
// the requests that go with a thread as it exits (Windows' IoCancelThreadIo).
//
// Locking: each thread's state has a recursive mutex, held while the exiting thread
// cancels its requests, so that a request completing on another thread cannot be
// freed under the cancel (on Windows the completion is an APC to the exiting
// thread, held off meanwhile); a cancel that completes inside IoCancelIrp takes it
// again on the same thread. The registry's mutex guards the list of threads and
// the owners of threaded requests; it is never held while taking a state's.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include <sim/app.h>

#include "../kernel/internal.h"

namespace sim {

struct AppThread::State {
  Process* process;
  std::string name;
  std::function<void()> body;
  std::recursive_mutex mutex;
  std::condition_variable_any changed;
  std::atomic<bool> terminating{false};
  bool exited = false;
  bool terminated = false;
  bool watched = false;
  std::vector<PIRP> irps;  // requests drivers built on the thread, not yet complete
};

namespace {

using State = AppThread::State;

// Unwinds the application's own frames as its thread exits. Thrown only at the
// edge of user mode, with no driver frame below.
struct ThreadExit {};

thread_local State* t_thread = nullptr;

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<State>> threads;
  std::map<PIRP, std::weak_ptr<State>> owners;
};

Registry& registry() {
  static Registry* r = new Registry();
  return *r;
}

std::shared_ptr<State> find_state(State* raw) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  for (auto& state : registry().threads) {
    if (state.get() == raw) return state;
  }
  return nullptr;
}

// Cancels the thread's requests and waits until each has completed. The wait has
// no bound of its own: the watchdog names a thread that cannot get out.
void cancel_thread_io(State& s) {
  std::unique_lock<std::recursive_mutex> lock(s.mutex);
  std::vector<PIRP> irps = s.irps;
  for (PIRP irp : irps) {
    if (std::find(s.irps.begin(), s.irps.end(), irp) != s.irps.end()) IoCancelIrp(irp);
  }
  s.changed.wait(lock, [&s] { return s.irps.empty(); });
}

void mark_exited(State& s, bool terminated) {
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.exited = true;
  s.terminated = terminated;
  s.changed.notify_all();
}

void begin_termination(const std::shared_ptr<State>& s);

void run(const std::shared_ptr<State>& s) {
  t_thread = s.get();
  ProcessScope scope(*s->process);
  bool terminated = false;
  try {
    user_mode_boundary();
    s->body();
  } catch (const ThreadExit&) {
    terminated = true;
  }
  bool outstanding;
  {
    std::lock_guard<std::recursive_mutex> lock(s->mutex);
    outstanding = !s->irps.empty();
  }
  // Its exit has begun: one that does not end is reported as a termination is.
  if (outstanding) begin_termination(s);
  cancel_thread_io(*s);
  mark_exited(*s, terminated);
  t_thread = nullptr;
}

// Reports a thread not gone within the hang bound after its termination began.
void watch(std::shared_ptr<State> s) {
  std::unique_lock<std::recursive_mutex> lock(s->mutex);
  if (s->changed.wait_for(lock, hang_report_after(), [&s] { return s->exited; })) return;
  std::string text = "thread " + s->name + " of process " + s->process->name() + " still running " +
                     std::to_string(hang_report_after().count()) + " ms after its termination began";
  lock.unlock();
  report_fault(Fault::ThreadCannotExit, text);
}

void begin_termination(const std::shared_ptr<State>& s) {
  {
    std::lock_guard<std::recursive_mutex> lock(s->mutex);
    if (s->exited || s->watched) return;
    s->watched = true;
    s->terminating = true;
  }
  {
    // Waits that termination interrupts look again.
    std::lock_guard<std::mutex> lock(dispatcher_mutex());
    dispatcher_cv().notify_all();
  }
  std::thread(watch, s).detach();
}

}  // namespace

bool termination_pending() { return t_thread != nullptr && t_thread->terminating.load(); }

void user_mode_boundary() {
  close_open_views();
  if (termination_pending()) throw ThreadExit{};
}

void thread_irp_add(PIRP irp) {
  if (t_thread == nullptr) return;
  std::shared_ptr<State> s = find_state(t_thread);
  if (s == nullptr) return;
  {
    std::lock_guard<std::recursive_mutex> lock(s->mutex);
    s->irps.push_back(irp);
  }
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().owners[irp] = s;
}

void thread_irp_remove(PIRP irp) {
  std::shared_ptr<State> s;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    auto it = registry().owners.find(irp);
    if (it == registry().owners.end()) return;
    s = it->second.lock();
    registry().owners.erase(it);
  }
  if (s == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(s->mutex);
  s->irps.erase(std::remove(s->irps.begin(), s->irps.end(), irp), s->irps.end());
  s->changed.notify_all();
}

AppThread::AppThread(Process& process, std::string name, std::function<void()> body)
    : state_(std::make_shared<State>()) {
  state_->process = &process;
  state_->name = std::move(name);
  state_->body = std::move(body);
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().threads.push_back(state_);
  }
  thread_ = std::thread(run, state_);
}

AppThread::~AppThread() {
  thread_.join();
  std::lock_guard<std::mutex> lock(registry().mutex);
  auto& threads = registry().threads;
  threads.erase(std::remove(threads.begin(), threads.end(), state_), threads.end());
}

void AppThread::terminate() { begin_termination(state_); }

bool AppThread::wait_exited(std::chrono::milliseconds bound) {
  std::unique_lock<std::recursive_mutex> lock(state_->mutex);
  return state_->changed.wait_for(lock, bound, [this] { return state_->exited; });
}

bool AppThread::exited() const {
  std::lock_guard<std::recursive_mutex> lock(state_->mutex);
  return state_->exited;
}

bool AppThread::terminated() const {
  std::lock_guard<std::recursive_mutex> lock(state_->mutex);
  return state_->terminated;
}

void close_process_handles(Process* process);

// The handles close only once every thread is gone, as the process's handle table
// goes with its last thread; a thread that cannot exit keeps them open.
bool kill_process(Process& process) {
  std::vector<std::shared_ptr<State>> mine;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (auto& state : registry().threads) {
      if (state->process == &process) mine.push_back(state);
    }
  }
  for (auto& state : mine) begin_termination(state);
  for (auto& state : mine) {
    std::unique_lock<std::recursive_mutex> lock(state->mutex);
    if (!state->changed.wait_for(lock, 2 * hang_report_after(), [&state] { return state->exited; })) {
      return false;
    }
  }
  ProcessScope scope(process);
  close_process_handles(&process);
  return true;
}

}  // namespace sim
