// The failures a test can inject into the platform, each seen to fire exactly
// where it says and nowhere else: kernel services (sim/inject.h) and the bus's
// per-request injections. Where a driver test already makes an injection fire
// (a named call failing AddDevice or a start, a truncated descriptor, a held
// request), it is not repeated here.
#include "sim_little_driver.h"

namespace simtest {
namespace {

namespace inject = sim::inject;

// ---- kernel services ----

class KernelInjection : public ::testing::Test {
 protected:
  KernelInjection() : stack_(1) {}
  ~KernelInjection() override { stack_.finish(); }
  LittleStack stack_;
};

// One allocation of a kind, given back at once; true when it succeeded.
struct AllocationCase {
  const char* name;
  void (*inject)(int nth);
  bool (*allocate)(PDEVICE_OBJECT top, int call);
};

bool allocate_pool(PDEVICE_OBJECT, int) {
  PVOID block = ExAllocatePool(NonPagedPool, 32);
  if (block != nullptr) ExFreePool(block);
  return block != nullptr;
}

// The second IRP comes from the other routine that allocates IRPs: they count together.
bool allocate_irp(PDEVICE_OBJECT top, int call) {
  if (call == 2) {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    return IoBuildDeviceIoControlRequest(kNeitherCode, top, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  }
  PIRP irp = IoAllocateIrp(1, FALSE);
  if (irp != nullptr) IoFreeIrp(irp);
  return irp != nullptr;
}

bool allocate_mdl(PDEVICE_OBJECT, int) {
  uint8_t data[16];
  PMDL mdl = IoAllocateMdl(data, sizeof(data), FALSE, FALSE, nullptr);
  if (mdl != nullptr) IoFreeMdl(mdl);
  return mdl != nullptr;
}

struct Mapping {
  PMDL mdl;
  PVOID view;
};

void NTAPI map_guarded(PVOID context) {
  auto* m = static_cast<Mapping*>(context);
  m->view = MmMapLockedPagesSpecifyCache(m->mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
}

// A user view of a page of pool. A failed user mapping raises an exception, which
// the guarded call catches.
bool map_for_user(PDEVICE_OBJECT, int) {
  PVOID block = ExAllocatePool(NonPagedPool, PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(block, PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  Mapping m{mdl, nullptr};
  NTSTATUS raised = SimCallGuarded(map_guarded, &m);
  EXPECT_EQ(raised, m.view == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS);
  if (m.view != nullptr) MmUnmapLockedPages(m.view, mdl);
  IoFreeMdl(mdl);
  ExFreePool(block);
  return m.view != nullptr;
}

// The system view of a direct request's output MDL, which the I/O manager leaves unmapped.
PVOID g_system_view = nullptr;
bool map_for_system(PDEVICE_OBJECT top, int) {
  top->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    g_system_view = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    return complete_irp(irp, STATUS_SUCCESS);
  };
  sim::Handle handle = sim::kInvalidHandle;
  EXPECT_EQ(sim::nt_create_file(LittleStack::kUserName, &handle), STATUS_SUCCESS);
  uint8_t output[64];
  EXPECT_EQ(sim::nt_device_io_control(handle, kOutDirectCode, nullptr, 0, output, sizeof(output), nullptr),
            STATUS_SUCCESS);
  sim::nt_close(handle);
  return g_system_view != nullptr;
}

const AllocationCase kAllocations[] = {
    {"Pool", inject::fail_pool_allocation, allocate_pool},
    {"Irp", inject::fail_irp_allocation, allocate_irp},
    {"Mdl", inject::fail_mdl_allocation, allocate_mdl},
    {"UserMapping", inject::fail_user_mapping, map_for_user},
    {"SystemMapping", inject::fail_system_mapping, map_for_system},
};

class Allocation : public KernelInjection, public ::testing::WithParamInterface<AllocationCase> {};

// Armed until the nth comes.
TEST_P(Allocation, FailsTheNthOnly) {
  EXPECT_FALSE(inject::failure_armed());
  GetParam().inject(2);
  EXPECT_TRUE(GetParam().allocate(stack_.top(), 1));
  EXPECT_TRUE(inject::failure_armed());
  EXPECT_FALSE(GetParam().allocate(stack_.top(), 2));
  EXPECT_FALSE(inject::failure_armed());
  EXPECT_TRUE(GetParam().allocate(stack_.top(), 3));
}

INSTANTIATE_TEST_SUITE_P(Kinds, Allocation, ::testing::ValuesIn(kAllocations), CaseName());

// The I/O manager's IRP, system buffer and MDL neither fail nor count: the
// driver's next allocations are the ones that fail.
TEST_F(KernelInjection, LeavesThePlatformsOwnAllocationsAloneAndCountsTheDriversPool) {
  sim::Handle handle = stack_.open();
  stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    bool whole = irp->AssociatedIrp.SystemBuffer != nullptr && irp->MdlAddress != nullptr;
    return complete_irp(irp, whole ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  });
  long before = inject::pool_allocations();
  inject::fail_pool_allocation(1);
  inject::fail_irp_allocation(1);
  inject::fail_mdl_allocation(1);
  uint8_t data[16] = {};
  EXPECT_EQ(sim::nt_device_io_control(handle, kOutDirectCode, data, 8, data, sizeof(data), nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(inject::pool_allocations(), before);
  EXPECT_FALSE(allocate_pool(stack_.top(), 1));
  EXPECT_FALSE(allocate_irp(stack_.top(), 1));
  EXPECT_FALSE(allocate_mdl(stack_.top(), 1));
  EXPECT_TRUE(allocate_pool(stack_.top(), 1));
  EXPECT_EQ(inject::pool_allocations(), before + 2);  // the failed one and the next
}

// Named calls share one countdown; each call site is proven by the driver tests
// that fail AddDevice and the start. The power request is the one they do not use.
TEST_F(KernelInjection, FailsTheNthNamedCallOnceWithTheGivenStatus) {
  static int callbacks;
  stack_.set(IRP_MJ_POWER, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    PoStartNextPowerIrp(irp);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  auto request_power = [this] {
    callbacks = 0;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    return PoRequestPowerIrp(
        stack_.top(), IRP_MN_SET_POWER, state,
        [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) { callbacks++; }, nullptr, nullptr);
  };
  inject::fail_call("PoRequestPowerIrp", STATUS_INSUFFICIENT_RESOURCES, 2);
  EXPECT_EQ(request_power(), STATUS_PENDING);
  EXPECT_EQ(callbacks, 1);  // the little driver completed it at once
  EXPECT_TRUE(inject::failure_armed());
  EXPECT_EQ(request_power(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(inject::failure_armed());
  EXPECT_EQ(callbacks, 0);
  EXPECT_EQ(request_power(), STATUS_PENDING);
}

// The calls chosen stop on their own thread at the service's entry, before it acts
// and before a failure injected for the same call, while the action runs; clear()
// removes an action not yet run.
TEST_F(KernelInjection, AtCallRunsTheActionAtTheEntryOfTheChosenCalls) {
  std::vector<std::thread::id> threads;
  std::vector<bool> linked;  // whether the call's link existed when its action ran
  int call = 0;
  auto link = [&](int n) {
    std::wstring text = L"\\DosDevices\\SimAtCall" + std::to_wstring(n);
    UNICODE_STRING name, target;
    RtlInitUnicodeString(&name, text.c_str());
    RtlInitUnicodeString(&target, L"\\Device\\SimLittle");
    call = n;
    return IoCreateSymbolicLink(&name, &target);
  };
  inject::at_call(
      "IoCreateSymbolicLink",
      [&] {
        threads.push_back(std::this_thread::get_id());
        linked.push_back(sim::symbolic_link_exists(L"\\DosDevices\\SimAtCall" + std::to_wstring(call)));
        // The failure below is still to come: this call takes it.
        if (call == 2) inject::fail_call("IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION);
      },
      2, 2);
  EXPECT_EQ(link(1), STATUS_SUCCESS);
  EXPECT_EQ(link(2), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(link(3), STATUS_SUCCESS);
  EXPECT_EQ(link(4), STATUS_SUCCESS);
  EXPECT_EQ(threads, std::vector<std::thread::id>(2, std::this_thread::get_id()));
  EXPECT_EQ(linked, std::vector<bool>(2, false));
  inject::at_call("IoCreateSymbolicLink", [&] { threads.push_back(std::this_thread::get_id()); });
  inject::clear();
  EXPECT_EQ(link(5), STATUS_SUCCESS);
  EXPECT_EQ(threads.size(), 2u);
  for (int n : {1, 3, 4, 5}) {
    std::wstring text = L"\\DosDevices\\SimAtCall" + std::to_wstring(n);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    EXPECT_EQ(IoDeleteSymbolicLink(&name), STATUS_SUCCESS) << n;
  }
}

// Two of each kind of object a point can be for: the calls on the first are never
// counted, so that a point is seen to stop only where its match says.
struct PointObjects {
  KEVENT event[2];
  KSPIN_LOCK lock[2];
  volatile LONG word[2] = {5, 5};
  PVOID pointer[2] = {};
  PIRP irp[2] = {};
  int satisfied = 0;   // waits that found their event set
  bool acted = false;  // set by the service's effect, where the test cannot read it back
};

PointObjects* g_points = nullptr;

NTSTATUS NTAPI note_dispatch(PDEVICE_OBJECT, PIRP irp) {
  g_points->acted = true;
  return complete_irp(irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI note_completion(PDEVICE_OBJECT, PIRP, PVOID) {
  g_points->acted = true;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// One kind of point: the service (null for an interlocked operation), the object a
// call on object i acts on, the call, and what the action sees while the call has
// not yet acted.
struct PointCase {
  const char* name;
  const char* call;
  const volatile void* (*object)(PointObjects& o, int i);
  void (*make)(PointObjects& o, int i, PDEVICE_OBJECT top);
  bool (*untouched)(PointObjects& o, int i);
};

const volatile void* event_of(PointObjects& o, int i) { return &o.event[i]; }
const volatile void* lock_of(PointObjects& o, int i) { return &o.lock[i]; }
const volatile void* word_of(PointObjects& o, int i) { return &o.word[i]; }
const volatile void* irp_of(PointObjects& o, int i) { return o.irp[i]; }
bool word_untouched(PointObjects& o, int i) { return o.word[i] == 5; }
void take_and_release(PointObjects& o, int i, PDEVICE_OBJECT) {
  KIRQL irql;
  KeAcquireSpinLock(&o.lock[i], &irql);
  KeReleaseSpinLock(&o.lock[i], irql);
}
bool not_acted(PointObjects& o, int) { return !o.acted; }

const PointCase kPointCases[] = {
    {"KeSetEvent", "KeSetEvent", event_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT) {
       KeClearEvent(&o.event[i]);
       KeSetEvent(&o.event[i], IO_NO_INCREMENT, FALSE);
     },
     [](PointObjects& o, int i) { return KeReadStateEvent(&o.event[i]) == 0; }},
    // The action sets the event the call is about to wait on: the wait has not begun.
    {"KeWaitForSingleObject", "KeWaitForSingleObject", event_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT) {
       KeClearEvent(&o.event[i]);
       LARGE_INTEGER none{};
       if (KeWaitForSingleObject(&o.event[i], Executive, KernelMode, FALSE, &none) == STATUS_SUCCESS) {
         o.satisfied++;
       }
     },
     [](PointObjects& o, int i) { return KeSetEvent(&o.event[i], IO_NO_INCREMENT, FALSE) == 0; }},
    {"KeAcquireSpinLock", "KeAcquireSpinLockRaiseToDpc", lock_of, take_and_release,
     [](PointObjects&, int) { return KeGetCurrentIrql() == PASSIVE_LEVEL; }},
    // Stopped still holding the lock, at its level.
    {"KeReleaseSpinLock", "KeReleaseSpinLock", lock_of, take_and_release,
     [](PointObjects&, int) { return KeGetCurrentIrql() == DISPATCH_LEVEL; }},
    {"IofCallDriver", "IofCallDriver", irp_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT top) {
       IoReuseIrp(o.irp[i], STATUS_SUCCESS);
       IoSetCompletionRoutine(o.irp[i], note_completion, nullptr, TRUE, TRUE, TRUE);
       IoGetNextIrpStackLocation(o.irp[i])->MajorFunction = IRP_MJ_DEVICE_CONTROL;
       o.acted = false;
       IofCallDriver(top, o.irp[i]);
     },
     not_acted},
    {"IofCompleteRequest", "IofCompleteRequest", irp_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT) {
       IoReuseIrp(o.irp[i], STATUS_SUCCESS);
       IoSetCompletionRoutine(o.irp[i], note_completion, nullptr, TRUE, TRUE, TRUE);
       IoSetNextIrpStackLocation(o.irp[i]);
       o.acted = false;
       IofCompleteRequest(o.irp[i], IO_NO_INCREMENT);
     },
     not_acted},
    {"InterlockedIncrement", nullptr, word_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT) {
       InterlockedIncrement(&o.word[i]);
       o.word[i] = 5;
     },
     word_untouched},
    {"InterlockedCompareExchange", nullptr, word_of,
     [](PointObjects& o, int i, PDEVICE_OBJECT) {
       InterlockedCompareExchange(&o.word[i], 6, 5);
       o.word[i] = 5;
     },
     word_untouched},
    {"InterlockedExchangePointer", nullptr,
     [](PointObjects& o, int i) -> const volatile void* {return &o.pointer[i];
}  // namespace
,
    [](PointObjects& o, int i, PDEVICE_OBJECT) {
      InterlockedExchangePointer(&o.pointer[i], &o);
      o.pointer[i] = nullptr;
    },
    [](PointObjects& o, int i) { return o.pointer[i] == nullptr; }
}  // namespace simtest
,
}
;

class StopPoint : public KernelInjection, public ::testing::WithParamInterface<PointCase> {
 protected:
  void SetUp() override {
    g_points = &o_;
    for (int i = 0; i < 2; ++i) {
      KeInitializeEvent(&o_.event[i], NotificationEvent, FALSE);
      KeInitializeSpinLock(&o_.lock[i]);
      o_.irp[i] = IoAllocateIrp(stack_.top()->StackSize, FALSE);
    }
    stack_.set(IRP_MJ_DEVICE_CONTROL, note_dispatch);
  }
  void TearDown() override {
    for (PIRP irp : o_.irp) IoFreeIrp(irp);
    g_points = nullptr;
  }
  void make(int i) { GetParam().make(o_, i, stack_.top()); }
  void arm(std::function<void()> action, int nth) {
    const PointCase& c = GetParam();
    const volatile void* chosen = c.object(o_, 1);
    auto match = [chosen](const volatile void* object) { return object == chosen; };
    if (c.call != nullptr) {
      inject::at_call(c.call, std::move(action), nth, 1, match);
    } else {
      inject::at_interlocked(chosen, std::move(action), nth);
    }
  }
  PointObjects o_;
};

// The nth call on the chosen object stops, on the calling thread, before the call
// acts; calls on another object do not count, and a spent point costs nothing more.
TEST_P(StopPoint, StopsTheNthCallOnTheChosenObjectBeforeItActs) {
  std::vector<std::thread::id> threads;
  std::vector<bool> untouched;
  arm(
      [&] {
        threads.push_back(std::this_thread::get_id());
        untouched.push_back(GetParam().untouched(o_, 1));
      },
      2);
  EXPECT_EQ(inject::points_armed(), 1);
  for (int call : {0, 1, 0, 1, 1}) make(call);
  EXPECT_EQ(threads, std::vector<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(untouched, std::vector<bool>{true});
  EXPECT_EQ(inject::points_armed(), 0);
  EXPECT_EQ(SimInterlockedPointsArmed, 0);
  // Only the wait that the action's set preceded found its event set.
  EXPECT_EQ(o_.satisfied, GetParam().make == kPointCases[1].make ? 1 : 0);
}

// The action's own calls are not points; another thread's are, while the stopped
// thread waits for it: the operation the action starts runs at the point.
TEST_F(KernelInjection, AnActionsOwnCallsAreNotPointsAnotherThreadsAre) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  auto set = [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); };
  std::vector<std::string> fired;
  inject::at_call("KeSetEvent", [&] {
    fired.push_back("stopped");
    set();  // not a point: this thread is at one
    inject::at_call("KeSetEvent", [&] { fired.push_back("other"); });
    std::async(std::launch::async, set).get();
  });
  set();
  EXPECT_EQ(fired, (std::vector<std::string>{"stopped", "other"}));
  EXPECT_EQ(inject::points_armed(), 0);
}

TEST_P(StopPoint, ClearDisarmsIt) {
  bool fired = false;
  arm([&] { fired = true; }, 1);
  inject::clear();
  EXPECT_EQ(inject::points_armed(), 0);
  EXPECT_EQ(SimInterlockedPointsArmed, 0);
  make(1);
  EXPECT_FALSE(fired);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StopPoint, ::testing::ValuesIn(kPointCases), CaseName());

TEST_F(KernelInjection, ClearRemovesEveryPendingInjection) {
  for (const AllocationCase& c : kAllocations) c.inject(1);
  inject::fail_call("IoCreateDevice", STATUS_INSUFFICIENT_RESOURCES);
  inject::clear();
  for (const AllocationCase& c : kAllocations) EXPECT_TRUE(c.allocate(stack_.top(), 1)) << c.name;
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(stack_.driver().object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
  IoDeleteDevice(device);
}

// Low resources: every kind fails about its share, the same calls again for the
// same seed, other calls for another; clear() ends it.
// (The user view's buffer and MDL are made beforehand: only the mapping may fail.)
TEST_F(KernelInjection, LowResourcesFailsAShareOfEveryKindRepeatablyBySeed) {
  PVOID block = ExAllocatePool(NonPagedPool, PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(block, PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  auto attempt = [this, mdl](const AllocationCase& c) {
    if (c.allocate != map_for_user) return c.allocate(stack_.top(), 1);
    PVOID view = map_user_view(mdl);
    if (view != nullptr) MmUnmapLockedPages(view, mdl);
    return view != nullptr;
  };
  auto run = [&](uint32_t seed) {
    inject::low_resources(seed, 0.25);
    std::vector<bool> outcomes;
    std::map<std::string, int> failed;
    for (int i = 0; i < 200; ++i) {
      for (const AllocationCase& c : kAllocations) {
        outcomes.push_back(attempt(c));
        if (!outcomes.back()) failed[c.name]++;
      }
    }
    for (const AllocationCase& c : kAllocations) {
      EXPECT_GT(failed[c.name], 20) << c.name;
      EXPECT_LT(failed[c.name], 80) << c.name;
    }
    long total = 0;
    for (auto& [name, count] : failed) total += count;
    EXPECT_EQ(inject::low_resources_failures(), total);
    inject::clear();
    return outcomes;
  };
  std::vector<bool> first = run(11);
  EXPECT_EQ(run(11), first);
  EXPECT_NE(run(12), first);
  for (const AllocationCase& c : kAllocations) EXPECT_TRUE(attempt(c)) << c.name;
  IoFreeMdl(mdl);
  ExFreePool(block);
}

// ---- the bus ----

class BusInjection : public ::testing::Test {
 protected:
  BusInjection() { rig_.device().clear_trace(); }

  std::unique_ptr<UrbIrp> read_descriptor(UCHAR type, ULONG length) {
    auto request = std::make_unique<UrbIrp>(rig_.pdo());
    auto& d = request->urb.UrbControlDescriptorRequest;
    request->buffer.assign(length, 0xDE);
    d.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.TransferBufferLength = length;
    d.TransferBuffer = request->buffer.data();
    d.DescriptorType = type;
    return request;
  }

  ULONG moved(const UrbIrp& request) { return request.urb.UrbControlVendorClassRequest.TransferBufferLength; }

  CameraRig rig_;
};

TEST_F(BusInjection, FailUrbFailsTheMatchingRequestsFromTheNthForSoMany) {
  rig_.device().camera().set_reg(0x20, 0x0102);
  rig_.device().fail_urb(sim::UrbMatch::vendor(0xB7, true), USBD_STATUS_XACT_ERROR, STATUS_DEVICE_DATA_ERROR,
                         2, 2);
  for (int i = 0; i < 4; ++i) {
    bool failed = i == 1 || i == 2;
    EXPECT_EQ(rig_.device().armed_injections(), i < 3 ? 1u : 0u) << i;
    auto request = rig_.read_register(0x20);
    EXPECT_EQ(request->send_and_wait(), failed ? STATUS_DEVICE_DATA_ERROR : STATUS_SUCCESS) << i;
    EXPECT_EQ(request->usbd, failed ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS) << i;
    std::vector<uint8_t> expected = failed ? std::vector<uint8_t>(2, 0xDE) : std::vector<uint8_t>{2, 1};
    EXPECT_EQ(request->buffer, expected) << i;
  }
  std::vector<sim::BusEvent> trace = rig_.device().trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[1].usbd_status, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(trace[1].request(), 0xB7);
}

TEST_F(BusInjection, FailUrbOnABulkTransferCompletesItLaterWithNoData) {
  rig_.device().fail_urb(sim::UrbMatch::bulk(CameraRig::kIn), USBD_STATUS_DEV_NOT_RESPONDING);
  auto request = rig_.bulk(64);
  EXPECT_EQ(request->send(), STATUS_PENDING);
  ASSERT_TRUE(request->done.wait());
  EXPECT_EQ(request->status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(request->usbd, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
  EXPECT_EQ(request->buffer, std::vector<uint8_t>(64, 0xDE));
}

// A pipe request the bus fails ends nothing on the pipe and is traced as what it
// is, on its endpoint, so that a test can count a driver's every try.
TEST_F(BusInjection, FailUrbOnAPipeRequestIsTracedAsThatRequest) {
  auto queued = rig_.pending_in();
  for (USHORT function : {URB_FUNCTION_ABORT_PIPE, URB_FUNCTION_RESET_PIPE}) {
    rig_.device().fail_urb(sim::UrbMatch::pipe_request(function, CameraRig::kIn), USBD_STATUS_REQUEST_FAILED);
    rig_.device().clear_trace();
    auto request = rig_.pipe_request(function);
    EXPECT_EQ(request->send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request->usbd, USBD_STATUS_REQUEST_FAILED);
    std::vector<sim::BusEvent> trace = rig_.device().trace();
    ASSERT_EQ(trace.size(), 1u);
    EXPECT_EQ(trace[0].kind,
              function == URB_FUNCTION_ABORT_PIPE ? sim::BusEvent::AbortPipe : sim::BusEvent::ResetPipe);
    EXPECT_EQ(trace[0].endpoint, CameraRig::kIn);
    EXPECT_EQ(trace[0].irp_status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig_.device().pending_transfers(), 1u);
  }
  EXPECT_TRUE(IoCancelIrp(queued->irp));
  ASSERT_TRUE(queued->done.wait());
}

// Matching requests refused, or served, inside the call: from the nth on, so many
// times or for ever. The others pend and complete later at DISPATCH_LEVEL.
struct InsideCase {
  const char* name;
  void (*inject)(sim::UsbDevice& device);
  std::vector<NTSTATUS> returned;  // by IofCallDriver, request after request
};

const InsideCase kInsideCases[] = {
    {"RefusedTwiceFromTheSecond",
     [](sim::UsbDevice& d) { d.refuse_urb(sim::UrbMatch::vendor(0xB7), STATUS_INVALID_DEVICE_STATE, 2, 2); },
     {STATUS_PENDING, STATUS_INVALID_DEVICE_STATE, STATUS_INVALID_DEVICE_STATE, STATUS_PENDING}},
    {"RefusedForEver",
     [](sim::UsbDevice& d) {
       d.refuse_urb(sim::UrbMatch::vendor(0xB7), STATUS_INVALID_DEVICE_STATE, 1, sim::UsbDevice::kForever);
     },
     std::vector<NTSTATUS>(6, STATUS_INVALID_DEVICE_STATE)},
    {"ServedInsideForEver",
     [](sim::UsbDevice& d) { d.complete_inside(sim::UrbMatch::vendor(0xB7), 1, sim::UsbDevice::kForever); },
     std::vector<NTSTATUS>(6, STATUS_SUCCESS)},
};

class InsideTheCall : public BusInjection, public ::testing::WithParamInterface<InsideCase> {};

TEST_P(InsideTheCall, CompletesTheMatchingRequestsBeforeTheCallReturns) {
  GetParam().inject(rig_.device());
  rig_.device().camera().set_reg(1, 0x0102);
  for (NTSTATUS expected : GetParam().returned) {
    auto read = rig_.read_register(1);
    EXPECT_EQ(read->send(), expected);
    EXPECT_TRUE(expected == STATUS_PENDING || read->done.is_set());
    ASSERT_TRUE(read->done.wait());
    EXPECT_EQ(read->irql, expected == STATUS_PENDING ? DISPATCH_LEVEL : PASSIVE_LEVEL);
    std::vector<uint8_t> served{2, 1}, untouched(2, 0xDE);
    EXPECT_EQ(read->buffer, NT_SUCCESS(read->status) ? served : untouched);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, InsideTheCall, ::testing::ValuesIn(kInsideCases), CaseName());

// A bulk transfer served inside the call takes what the camera has ready: a frame,
// then nothing (a zero-length packet), never waiting.
TEST_F(BusInjection, ServedInsideABulkTransferTakesWhatIsReady) {
  rig_.device().complete_inside(sim::UrbMatch::bulk(CameraRig::kIn), 1, sim::UsbDevice::kForever);
  rig_.device().camera().set_frame_size(600);
  rig_.device().camera().queue_frames(1);
  for (ULONG expected : {600u, 0u}) {
    auto request = rig_.bulk(4096);
    EXPECT_EQ(request->send(), STATUS_SUCCESS);
    EXPECT_TRUE(request->done.is_set());
    EXPECT_EQ(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength, expected);
  }
}

TEST_F(BusInjection, ShortTransfersEndTheNextInTransfersEarly) {
  rig_.device().camera().set_streaming(true);
  rig_.device().short_transfers(100, 2);
  std::vector<ULONG> lengths;
  for (int i = 0; i < 3; ++i) {
    auto request = rig_.bulk(512);
    EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
    lengths.push_back(request->urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
  }
  EXPECT_EQ(lengths, (std::vector<ULONG>{100, 100, 512}));
  rig_.device().camera().set_streaming(false);
}

TEST_F(BusInjection, ShortControlEndsTheDataStageOfTheNextMatchEarly) {
  rig_.device().camera().set_reg(3, 0xBEEF);
  rig_.device().short_control(sim::UrbMatch::vendor(0xB7, true), 1);
  auto cut = rig_.read_register(3);
  EXPECT_EQ(cut->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(moved(*cut), 1u);
  EXPECT_EQ(cut->buffer, (std::vector<uint8_t>{0xEF, 0xDE}));
  auto whole = rig_.read_register(3);
  EXPECT_EQ(whole->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(whole->buffer, (std::vector<uint8_t>{0xEF, 0xBE}));
}

TEST_F(BusInjection, ClearInjectionsRemovesThemAll) {
  rig_.device().fail_urb(sim::UrbMatch::vendor(0xB7), USBD_STATUS_STALL_PID);
  rig_.device().short_control(sim::UrbMatch::vendor(0xB7, true), 1);
  rig_.device().truncate_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 2);
  rig_.device().clear_injections();
  auto request = rig_.read_register(0);
  EXPECT_EQ(request->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(moved(*request), 2u);
  auto device = read_descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18);
  EXPECT_EQ(device->send_and_wait(), STATUS_SUCCESS);
  EXPECT_EQ(device->urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);
}

TEST_F(BusInjection, FailPnpCompletesTheNextRequestOfThatMinorWithTheStatus) {
  rig_.device().fail_pnp(IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY);
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
}

TEST_F(BusInjection, DeferredPnpCompletesAfterTheCallReturnedPending) {
  rig_.device().set_pnp_deferred(true);
  rig_.platform().clear_history();
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(rig_.platform().send_pnp(rig_.device(), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
  std::vector<sim::PnpRecord> history = rig_.platform().history();
  ASSERT_EQ(history.size(), 2u);
  for (const sim::PnpRecord& r : history) EXPECT_EQ(r.returned, STATUS_PENDING);
  rig_.device().set_pnp_deferred(false);
}

}  // namespace
}  // namespace simtest
