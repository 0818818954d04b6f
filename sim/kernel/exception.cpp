// Structured exceptions for driver code. A guarded call pushes a handler frame on
// the calling thread's stack of them; a raise jumps to the innermost frame. Raised
// with no frame on the thread, the exception is reported: on Windows it would stop
// the machine. The jump crosses only frames without destructors: driver code and
// the platform routines that raise after releasing their locks.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "internal.h"

namespace sim {
namespace {

struct GuardFrame {
  jmp_buf jump;
  GuardFrame* outer;
  volatile NTSTATUS status;
};

thread_local GuardFrame* t_guard = nullptr;

}  // namespace

bool guarded_call_active() { return t_guard != nullptr; }

}  // namespace sim

using namespace sim;

extern "C" {

NTSTATUS NTAPI SimCallGuarded(SIM_GUARDED_ROUTINE* Routine, PVOID Context) {
  GuardFrame frame;
  frame.outer = t_guard;
  frame.status = STATUS_SUCCESS;
  t_guard = &frame;
  if (setjmp(frame.jump) == 0) {
    Routine(Context);
    t_guard = frame.outer;
  }
  return frame.status;
}

// Returns only when no guarded call on this thread catches the exception.
VOID NTAPI ExRaiseStatus(NTSTATUS Status) {
  GuardFrame* frame = t_guard;
  if (frame == nullptr) {
    report_fault(Fault::ExceptionNotCaught, "status " + hex(static_cast<uint32_t>(Status)) +
                                                " raised with no guarded call on the thread");
    return;
  }
  frame->status = Status;
  t_guard = frame->outer;
  longjmp(frame->jump, 1);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1, ULONG_PTR BugCheckParameter2,
                        ULONG_PTR BugCheckParameter3, ULONG_PTR BugCheckParameter4) {
  std::string message = "KeBugCheckEx(" + hex(BugCheckCode);
  for (ULONG_PTR p : {BugCheckParameter1, BugCheckParameter2, BugCheckParameter3, BugCheckParameter4}) {
    message += ", " + hex(static_cast<uint64_t>(p));
  }
  report_fault(Fault::BugCheck, message + ")");
  std::fprintf(stderr, "%s)\n", message.c_str());
  std::abort();
}

}  // extern "C"
