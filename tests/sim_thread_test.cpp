// Threads that exit: an application thread terminated, or its process killed, while
// a little driver serves its request. Waits a termination interrupts and waits it
// does not, the request the thread waits for and the ones drivers built on it
// cancelled as it goes, and a thread that cannot go reported by name.
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

// Longer than any legal wait here takes under the sanitizers on a loaded machine
// (300 ms was seen to fall short under ThreadSanitizer), short enough for the tests
// that wait for a thread to be reported.
constexpr auto kExitBound = std::chrono::milliseconds(2000);

// What the routines of one test share with it.
struct Shared {
  PKEVENT event = nullptr;  // in pool: a UserMode wait may not use the stack
  NTSTATUS waited = STATUS_PENDING;
  PIRP held = nullptr;
  Signal entered;
  std::vector<std::string> order;
  std::mutex order_mutex;
  void note(const std::string& what) {
    std::lock_guard<std::mutex> lock(order_mutex);
    order.push_back(what);
  }
};
Shared* g = nullptr;

// A little driver served by application threads of one process.
class Termination : public ::testing::Test {
 protected:
  Termination() : stack_(2), process_("app") {
    g = &shared_;
    shared_.event = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
    KeInitializeEvent(shared_.event, NotificationEvent, FALSE);
    sim::set_hang_report_after(kExitBound);
    stack_.set(IRP_MJ_CLEANUP, [](PDEVICE_OBJECT, PIRP irp) {
      g->note("cleanup");
      return complete_irp(irp, STATUS_SUCCESS);
    });
  }
  ~Termination() override {
    threads_.clear();
    sim::kill_process(process_);
    ExFreePool(shared_.event);
    stack_.finish();
    g = nullptr;
  }

  // A thread of the process that opens the device and sends one request, which
  // `routine` serves; `result` receives its status.
  sim::AppThread& start(PDRIVER_DISPATCH routine, NTSTATUS* result = nullptr) {
    stack_.set(IRP_MJ_DEVICE_CONTROL, routine);
    threads_.push_back(std::make_unique<sim::AppThread>(process_, "requester", [result] {
      sim::Handle handle;
      ASSERT_EQ(sim::nt_create_file(LittleStack::kUserName, &handle), STATUS_SUCCESS);
      NTSTATUS status = sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr);
      if (result != nullptr) *result = status;
    }));
    EXPECT_TRUE(shared_.entered.wait());
    return *threads_.back();
  }

  Shared shared_;
  LittleStack stack_;
  sim::Process process_;
  std::vector<std::unique_ptr<sim::AppThread>> threads_;
};

// ---- waits inside the dispatch routine ----

struct WaitCase {
  const char* name;
  KPROCESSOR_MODE mode;
  BOOLEAN alertable;
  NTSTATUS interrupted;  // what the wait returns as the thread is terminated; 0: it goes on
};

const WaitCase kWaits[] = {
    {"UserModeAlertable", UserMode, TRUE, STATUS_USER_APC},
    {"UserModeNotAlertable", UserMode, FALSE, STATUS_USER_APC},
    {"KernelModeAlertable", KernelMode, TRUE, STATUS_ALERTED},
    {"KernelModeNotAlertable", KernelMode, FALSE, 0},
};

WaitCase g_wait;

NTSTATUS NTAPI waits(PDEVICE_OBJECT, PIRP irp) {
  g->entered.set();
  g->waited = KeWaitForSingleObject(g->event, Executive, g_wait.mode, g_wait.alertable, nullptr);
  return complete_irp(irp, g->waited == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_CANCELLED);
}

class TerminatedInAWait : public Termination, public ::testing::WithParamInterface<WaitCase> {};

// An interrupted wait lets the routine end the request and the thread go at
// once; a non-alertable kernel-mode wait holds it, and it is reported, until the
// event comes.
TEST_P(TerminatedInAWait, EndsTheWaitOrIsReportedAsUnkillable) {
  g_wait = GetParam();
  std::unique_ptr<ExpectFault> unkillable;
  if (GetParam().interrupted == 0) unkillable = std::make_unique<ExpectFault>(Fault::ThreadCannotExit);
  sim::AppThread& thread = start(waits);
  ASSERT_TRUE(sim::wait_for_waiter(shared_.event, kBound));
  thread.terminate();
  if (GetParam().interrupted != 0) {
    ASSERT_TRUE(thread.wait_exited(kBound));
    EXPECT_EQ(shared_.waited, GetParam().interrupted);
  } else {
    ASSERT_TRUE(unkillable->wait(kBound));
    EXPECT_TRUE(mentions(*unkillable, "thread requester of process app still running " +
                                          std::to_string(kExitBound.count()) + " ms"));
    EXPECT_FALSE(thread.exited());
    KeSetEvent(shared_.event, IO_NO_INCREMENT, FALSE);
    ASSERT_TRUE(thread.wait_exited(kBound));
    EXPECT_EQ(shared_.waited, STATUS_SUCCESS);
  }
  EXPECT_TRUE(thread.terminated());
}

INSTANTIATE_TEST_SUITE_P(Modes, TerminatedInAWait, ::testing::ValuesIn(kWaits), CaseName());

// ---- a request left pending ----

VOID NTAPI cancel_held(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g->note("cancel");
  complete_irp(irp, STATUS_CANCELLED);
}

bool g_with_cancel_routine = false;

NTSTATUS NTAPI pends(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g->held = irp;
  if (g_with_cancel_routine) (void)IoSetCancelRoutine(irp, cancel_held);
  g->entered.set();
  return STATUS_PENDING;
}

// The I/O manager cancels the request its thread waits for; without a cancel
// routine nothing ends it, and the thread cannot go until it is completed.
TEST_F(Termination, CancelsThePendingRequestOfTheThreadAndWaitsForIt) {
  for (bool cancellable : {true, false}) {
    g_with_cancel_routine = cancellable;
    shared_.entered.reset();
    NTSTATUS result = STATUS_PENDING;
    std::unique_ptr<ExpectFault> unkillable;
    if (!cancellable) unkillable = std::make_unique<ExpectFault>(Fault::ThreadCannotExit);
    sim::AppThread& thread = start(pends, &result);
    thread.terminate();
    if (!cancellable) {
      ASSERT_TRUE(unkillable->wait(kBound));
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);  // what IoCancelIrp set the flag under
      EXPECT_TRUE(shared_.held->Cancel);
      IoReleaseCancelSpinLock(irql);
      complete_irp(shared_.held, STATUS_SUCCESS);
    }
    ASSERT_TRUE(thread.wait_exited(kBound));
    EXPECT_EQ(result, STATUS_PENDING);  // the call never returned to the application
  }
  std::lock_guard<std::mutex> lock(shared_.order_mutex);
  EXPECT_EQ(shared_.order, std::vector<std::string>{"cancel"});
}

// A request a driver built on the thread (IoBuildDeviceIoControlRequest) and left
// below when its routine returned is the thread's: cancelled as the thread exits,
// at the end of its body too; one nothing can cancel keeps it from going.
IO_STATUS_BLOCK g_threaded_status;

NTSTATUS NTAPI leaves_a_threaded_request(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = layer_of(device)->lower;
  PIRP threaded = IoBuildDeviceIoControlRequest(kNeitherCode, lower, nullptr, 0, nullptr, 0, TRUE, g->event,
                                                &g_threaded_status);
  IoCallDriver(lower, threaded);
  return complete_irp(irp, STATUS_SUCCESS);
}

TEST_F(Termination, CancelsTheRequestsDriversBuiltOnTheThreadAsItExits) {
  stack_.set(IRP_MJ_INTERNAL_DEVICE_CONTROL, pends);
  for (bool cancellable : {true, false}) {
    g_with_cancel_routine = cancellable;
    shared_.entered.reset();
    g_threaded_status.Status = STATUS_PENDING;
    std::unique_ptr<ExpectFault> unkillable;
    if (!cancellable) unkillable = std::make_unique<ExpectFault>(Fault::ThreadCannotExit);
    NTSTATUS result = STATUS_PENDING;
    sim::AppThread& thread = start(leaves_a_threaded_request, &result);
    if (!cancellable) {
      ASSERT_TRUE(unkillable->wait(kBound));
      complete_irp(shared_.held, STATUS_SUCCESS);
    }
    ASSERT_TRUE(thread.wait_exited(kBound));
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_FALSE(thread.terminated());
    EXPECT_EQ(g_threaded_status.Status, cancellable ? STATUS_CANCELLED : STATUS_SUCCESS);
  }
}

// Killing the process: its threads' requests are cancelled first, then its handles
// close; a thread killed between its calls makes no further call.
TEST_F(Termination, KillingTheProcessCancelsItsRequestsBeforeItsHandlesClose) {
  g_with_cancel_routine = true;
  start(pends);
  Signal between, go;
  std::atomic<int> calls{0};
  threads_.push_back(std::make_unique<sim::AppThread>(process_, "idle", [&] {
    sim::Handle handle;
    for (int i = 0; i < 2; ++i) {
      sim::nt_create_file(LittleStack::kUserName, &handle);
      calls++;
      between.set();
      EXPECT_TRUE(go.wait());
    }
  }));
  ASSERT_TRUE(between.wait());
  threads_.back()->terminate();
  go.set();
  EXPECT_TRUE(sim::kill_process(process_));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(sim::open_handle_count(), 0);
  std::lock_guard<std::mutex> lock(shared_.order_mutex);
  EXPECT_EQ(shared_.order, (std::vector<std::string>{"cancel", "cleanup", "cleanup"}));
}

}  // namespace
}  // namespace simtest
