// The Ctrl-C flag: a lock-free atomic, the one thing a signal handler may set.
#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace quorvex::tool {
namespace {

std::atomic<bool> g_raised{false};
static_assert(std::atomic<bool>::is_always_lock_free);

using Handler = void (*)(int);
Handler g_before = SIG_DFL;

// The next Ctrl-C is the system's again: a user who presses it twice ends the tool.
extern "C" void on_interrupt(int) {
  g_raised.store(true);
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

InterruptWatch::InterruptWatch() {
  g_raised.store(false);
  g_before = std::signal(SIGINT, on_interrupt);
}

InterruptWatch::~InterruptWatch() { std::signal(SIGINT, g_before == SIG_ERR ? SIG_DFL : g_before); }

bool InterruptWatch::raised() { return g_raised.load(); }

}  // namespace quorvex::tool
