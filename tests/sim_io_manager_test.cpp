// The I/O manager's side of an application's requests, seen from a little driver:
// deferred deletion of a device object with open handles, the buffers of
// METHOD_BUFFERED and METHOD_OUT_DIRECT requests, and user views of pool memory
// with the verifier's checks of them.
#include <algorithm>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

// ---- deferred deletion ----
// (A deleted device object kept for its handles, refusing new opens, reaching
// the driver with its extension and freed with the last close: removal_test.)

PDEVICE_OBJECT g_opened = nullptr;  // the device the last open reached

// A device object deleted while a handle keeps it gives its name up at once: a
// new device of the same name is created and opened, and the old handle closes.
TEST(DeferredDeletion, ReleasesTheNameAtOnceForANewDevice) {
  LittleStack stack;
  stack.set(IRP_MJ_CREATE, [](PDEVICE_OBJECT device, PIRP irp) {
    g_opened = device;
    return complete_success(device, irp);
  });
  sim::Handle old_handle = stack.open();
  IoDeleteDevice(stack.top());
  EXPECT_EQ(sim::find_device(LittleStack::kDeviceName), nullptr);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, LittleStack::kDeviceName);
  PDEVICE_OBJECT fresh = nullptr;
  ASSERT_EQ(IoCreateDevice(stack.driver().object(), sizeof(LayerExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &fresh),
            STATUS_SUCCESS);
  fresh->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_NE(fresh, stack.top());
  sim::Handle new_handle = sim::kInvalidHandle;
  ASSERT_EQ(sim::nt_create_file(LittleStack::kUserName, &new_handle), STATUS_SUCCESS);
  EXPECT_EQ(g_opened, fresh);
  EXPECT_EQ(sim::nt_close(new_handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(old_handle), STATUS_SUCCESS);
  EXPECT_EQ(sim::deferred_device_count(), 0);
  IoDeleteDevice(fresh);
}

// The driver above passes remove-device down before it detaches: the lower device
// object, deleted by then, must still be there to detach from.
TEST(DeletedWhileAttached, StaysUntilTheDeviceAboveDetaches) {
  LittleStack stack(2);
  PDEVICE_OBJECT lower = stack.layer(0);
  PDEVICE_OBJECT upper = stack.layer(1);
  IoDeleteDevice(lower);
  EXPECT_EQ(sim::deferred_device_count(), 1);
  EXPECT_EQ(lower->AttachedDevice, upper);
  IoDetachDevice(lower);
  layer_of(upper)->lower = nullptr;
  EXPECT_EQ(sim::deferred_device_count(), 0);
}

// ---- buffers of device-control requests ----

constexpr NTSTATUS kWarning = STATUS_DEVICE_BUSY;  // not an error: buffered data still goes back
constexpr uint8_t kPoison = 0xDE;
constexpr ULONG kGuard = 16;  // bytes of the application's buffer beyond the length it passes

uint8_t driver_byte(size_t i) { return static_cast<uint8_t>(0xA0 + i); }
uint8_t app_input(size_t i) { return static_cast<uint8_t>(0x30 + i); }
uint8_t app_output(size_t i) { return static_cast<uint8_t>(0x50 + i); }

struct Control {
  // What the driver does.
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  ULONG write = 0;  // bytes the driver writes to the output
  // What it saw.
  PVOID system_buffer = nullptr;
  PMDL mdl = nullptr;
  ULONG input_length = 0, output_length = 0;
  std::vector<uint8_t> input_seen;
  std::vector<uint8_t> output_seen;  // through the system view, before writing
  MDL mdl_before{};
  PVOID view = nullptr, view_again = nullptr, user_address = nullptr;
};
Control* g_control = nullptr;

// Reads the input from the system buffer; writes the output there, or through
// the system view of the MDL when the request has one.
NTSTATUS NTAPI control_dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Control& c = *g_control;
  c.system_buffer = irp->AssociatedIrp.SystemBuffer;
  c.mdl = irp->MdlAddress;
  c.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
  c.output_length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* out = static_cast<uint8_t*>(c.system_buffer);
  if (out != nullptr) c.input_seen.assign(out, out + c.input_length);
  if (c.mdl != nullptr) {
    c.mdl_before = *c.mdl;
    c.user_address = MmGetMdlVirtualAddress(c.mdl);
    c.view = MmGetSystemAddressForMdlSafe(c.mdl, NormalPagePriority);
    c.view_again = MmGetSystemAddressForMdlSafe(c.mdl, NormalPagePriority);
    out = static_cast<uint8_t*>(c.view);
    c.output_seen.assign(out, out + MmGetMdlByteCount(c.mdl));
  }
  for (ULONG i = 0; i < c.write; ++i) out[i] = driver_byte(i);
  return complete_irp(irp, c.status, c.information);
}

class Buffers : public ::testing::Test {
 protected:
  Buffers() {
    g_control = &control_;
    stack_.set(IRP_MJ_DEVICE_CONTROL, control_dispatch);
    handle_ = stack_.open();
  }
  ~Buffers() override {
    stack_.finish();
    g_control = nullptr;
  }

  // Sends a request with an input of `in` bytes and an output of `out` bytes
  // (plus a guard the request does not include), both patterned or poisoned.
  // Either buffer may be left absent although its length is not 0.
  NTSTATUS send(ULONG code, ULONG in, ULONG out, bool no_input = false, bool no_output = false) {
    input_.resize(in);
    for (ULONG i = 0; i < in; ++i) input_[i] = app_input(i);
    output_.assign(out + kGuard, kPoison);
    for (ULONG i = 0; i < out; ++i) output_[i] = app_output(i);
    information_ = 0xDEDEDEDE;
    return sim::nt_device_io_control(handle_, code, in && !no_input ? input_.data() : nullptr, in,
                                     out && !no_output ? output_.data() : nullptr, out, &information_);
  }

  Control control_;
  LittleStack stack_;
  sim::Handle handle_ = sim::kInvalidHandle;
  std::vector<uint8_t> input_, output_;
  ULONG_PTR information_ = 0;
};

struct TransferCase {
  const char* name;
  ULONG code;
  ULONG in, out, write;
  ULONG_PTR information;
  NTSTATUS status;
  ULONG copied;                              // bytes the application should get back
  bool no_input = false, no_output = false;  // the buffer is absent, its length is not 0
};

// A buffered request copies the input into one system buffer and Information
// bytes back, unless the status is an error; a direct one describes the output by
// an MDL (none for no output), so whatever the driver writes arrives.
const TransferCase kTransfers[] = {
    {"InputLarger", kBufferedCode, 16, 8, 8, 8, STATUS_SUCCESS, 8},
    {"OutputLargerPartlyReturned", kBufferedCode, 8, 16, 16, 5, STATUS_SUCCESS, 5},
    {"OutputOnly", kBufferedCode, 0, 12, 12, 12, STATUS_SUCCESS, 12},
    {"InputOnly", kBufferedCode, 12, 0, 0, 0, STATUS_SUCCESS, 0},
    {"Neither", kBufferedCode, 0, 0, 0, 0, STATUS_SUCCESS, 0},
    {"ErrorReturnsNothing", kBufferedCode, 8, 8, 8, 8, STATUS_UNSUCCESSFUL, 0},
    {"WarningReturnsData", kBufferedCode, 8, 8, 8, 8, kWarning, 8},
    {"NothingReported", kBufferedCode, 8, 8, 8, 0, STATUS_SUCCESS, 0},
    {"DirectPartlyWritten", kOutDirectCode, 8, 48, 20, 20, STATUS_SUCCESS, 20},
    {"DirectWritesWhateverTheStatus", kOutDirectCode, 0, 8, 4, 0, STATUS_UNSUCCESSFUL, 4},
    {"DirectInputOnly", kOutDirectCode, 8, 0, 0, 0, STATUS_SUCCESS, 0},
    {"DirectNeither", kOutDirectCode, 0, 0, 0, 0, STATUS_SUCCESS, 0},
    // An absent buffer's length reaches the driver as 0, except a direct output's,
    // which keeps its length with no MDL.
    {"AbsentInput", kBufferedCode, 8, 8, 8, 8, STATUS_SUCCESS, 8, true, false},
    {"AbsentOutput", kBufferedCode, 8, 8, 0, 0, STATUS_SUCCESS, 0, false, true},
    {"DirectAbsentInput", kOutDirectCode, 8, 8, 4, 4, STATUS_SUCCESS, 4, true, false},
    {"DirectAbsentOutput", kOutDirectCode, 8, 16, 0, 0, STATUS_SUCCESS, 0, false, true},
};

class Transfer : public Buffers, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(Transfer, MovesTheBytesTheMethodSays) {
  const TransferCase& c = GetParam();
  bool direct = c.code == kOutDirectCode;
  control_.status = c.status;
  control_.information = c.information;
  control_.write = c.write;
  ULONG in = c.no_input ? 0 : c.in;
  ULONG out = c.no_output && !direct ? 0 : c.out;
  EXPECT_EQ(send(c.code, c.in, c.out, c.no_input, c.no_output), c.status);
  EXPECT_EQ(information_, c.information);
  EXPECT_EQ(control_.input_length, in);
  EXPECT_EQ(control_.output_length, out);
  EXPECT_EQ(control_.mdl != nullptr, direct && out > 0 && !c.no_output);
  ASSERT_EQ(control_.system_buffer != nullptr, in > 0 || (!direct && out > 0));
  if (control_.system_buffer != nullptr) {
    EXPECT_NE(control_.system_buffer, static_cast<void*>(input_.data()));
    EXPECT_NE(control_.system_buffer, static_cast<void*>(output_.data()));
    EXPECT_EQ(control_.input_seen, std::vector<uint8_t>(input_.begin(), input_.begin() + in));
  }
  for (size_t i = 0; i < output_.size(); ++i) {
    uint8_t expected = i < c.copied ? driver_byte(i) : i < c.out ? app_output(i) : kPoison;
    ASSERT_EQ(output_[i], expected) << "output byte " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Transfer, ::testing::ValuesIn(kTransfers), CaseName());

TEST_F(Buffers, DirectOutputIsAnUnmappedMdlWhoseSystemViewAliasesTheApplicationsBuffer) {
  control_.write = 20;
  EXPECT_EQ(send(kOutDirectCode, 8, 48), STATUS_SUCCESS);
  ASSERT_NE(control_.mdl, nullptr);
  EXPECT_EQ(control_.mdl_before.MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);
  EXPECT_EQ(control_.mdl_before.MappedSystemVa, nullptr);
  EXPECT_EQ(control_.mdl_before.ByteCount, 48u);
  EXPECT_EQ(control_.user_address, static_cast<void*>(output_.data()));
  ASSERT_NE(control_.view, nullptr);
  EXPECT_NE(control_.view, control_.user_address);
  EXPECT_EQ(control_.view_again, control_.view);  // mapped once
  // The system view showed what the application's buffer held.
  for (size_t i = 0; i < 48; ++i) ASSERT_EQ(control_.output_seen[i], app_output(i)) << i;
}

// The system buffer is exactly as long as the larger of the two lengths: every
// byte of it can be written, and the byte after it is past its end.
class BufferedSize : public Buffers, public ::testing::WithParamInterface<std::pair<ULONG, ULONG>> {};

TEST_P(BufferedSize, IsTheLargerOfTheTwoLengths) {
  auto [in, out] = GetParam();
  stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG size = std::max(stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    memset(buffer, 0x77, size);
    unchecked_write(buffer + size, 0x77);
    return complete_irp(irp, STATUS_SUCCESS);
  });
  sim::ExpectFault overrun(sim::Fault::PoolOverrun);
  EXPECT_EQ(send(kBufferedCode, in, out), STATUS_SUCCESS);
  ASSERT_EQ(overrun.count(), 1);
  EXPECT_TRUE(mentions(overrun, "block of " + std::to_string(std::max(in, out)) + " bytes"));
}

INSTANTIATE_TEST_SUITE_P(Lengths, BufferedSize,
                         ::testing::Values(std::make_pair(24u, 7u), std::make_pair(7u, 24u),
                                           std::make_pair(0u, 33u), std::make_pair(33u, 0u),
                                           std::make_pair(4100u, 4096u)));

// ---- user views of pool memory, and the verifier's checks of them ----

using sim::ExpectFault;
using sim::Fault;

constexpr ULONG kViewBytes = 4 * 4096;  // whole pages: what an application may see

struct ViewState {
  uint8_t* pool = nullptr;
  PMDL mdl = nullptr;
  uint8_t* view = nullptr;
  PEPROCESS process = nullptr;
};
ViewState* g_view = nullptr;

// A patterned pool block described by an MDL, which the driver maps into (or
// unmaps from) the process that sends it a request.
class UserView : public ::testing::Test {
 protected:
  UserView() {
    g_view = &state_;
    state_.pool = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, kViewBytes));
    for (ULONG i = 0; i < kViewBytes; ++i) state_.pool[i] = static_cast<uint8_t>(i * 7);
    state_.mdl = IoAllocateMdl(state_.pool, kViewBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(state_.mdl);
    stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      ViewState& v = *g_view;
      v.process = IoGetCurrentProcess();
      if (v.view == nullptr) {
        v.view = static_cast<uint8_t*>(map_user_view(v.mdl));
      } else {
        MmUnmapLockedPages(std::exchange(v.view, nullptr), v.mdl);
      }
      return complete_irp(irp, STATUS_SUCCESS);
    });
  }
  ~UserView() override {
    if (state_.mdl != nullptr) IoFreeMdl(state_.mdl);
    if (state_.pool != nullptr) ExFreePool(state_.pool);
    stack_.finish();
    g_view = nullptr;
  }

  // Maps (or unmaps) from a request made in `process`.
  void toggle(sim::Process& process) {
    sim::ProcessScope scope(process);
    sim::Handle handle = stack_.open();
    EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  }

  ViewState state_;
  LittleStack stack_;
};

TEST_F(UserView, IsAnotherAddressForTheSameMemoryOwnedByTheProcessThatMadeIt) {
  sim::Process viewer("viewer");
  toggle(viewer);
  ASSERT_NE(state_.view, nullptr);
  EXPECT_EQ(state_.process, viewer.object());
  EXPECT_NE(state_.view, state_.pool);
  EXPECT_EQ(viewer.views(), 1);
  EXPECT_EQ(sim::default_process().views(), 0);
  {
    // The application reaches its view from its own process only.
    sim::ProcessScope scope(viewer);
    std::vector<uint8_t> seen(kViewBytes);
    ASSERT_TRUE(sim::read_user_view(state_.view, seen.data(), kViewBytes));
    EXPECT_EQ(memcmp(seen.data(), state_.pool, kViewBytes), 0);
    const uint8_t first = 0x11, last = 0x22;
    EXPECT_TRUE(sim::write_user_view(state_.view, &first, 1));
    EXPECT_TRUE(sim::write_user_view(state_.view + kViewBytes - 1, &last, 1));
    EXPECT_EQ(state_.pool[0], 0x11);
    EXPECT_EQ(state_.pool[kViewBytes - 1], 0x22);
    state_.pool[4096] = 0x33;
    ASSERT_TRUE(sim::read_user_view(state_.view + 4096, seen.data(), 1));
    EXPECT_EQ(seen[0], 0x33);
    EXPECT_FALSE(sim::read_user_view(state_.view, seen.data(), kViewBytes + 1));  // past its end
  }
  uint8_t byte = 0;
  EXPECT_FALSE(sim::read_user_view(state_.view, &byte, 1));  // another process has nothing there
  EXPECT_FALSE(sim::write_user_view(state_.view, &byte, 1));
  EXPECT_FALSE(sim::read_user_view(state_.pool, &byte, 1));  // nor is the kernel's address a view
  toggle(viewer);                                            // removed by the process that has it
  EXPECT_EQ(state_.view, nullptr);
  EXPECT_EQ(viewer.views(), 0);
}

TEST_F(UserView, MadeOnASystemThreadBelongsToTheSystemProcess) {
  std::thread worker([this] {
    sim::ProcessScope scope(sim::system_process());
    PVOID view = map_user_view(state_.mdl);
    EXPECT_EQ(sim::system_process().views(), 1);
    EXPECT_EQ(sim::default_process().views(), 0);
    MmUnmapLockedPages(view, state_.mdl);
  });
  worker.join();
  EXPECT_EQ(sim::system_process().views(), 0);
}

using ViewVerifier = UserView;

// A user view is made and removed at APC_LEVEL at most; pool is fine at DISPATCH_LEVEL.
TEST_F(ViewVerifier, ReportsAViewMadeAndRemovedAtDispatchLevel) {
  ExpectFault level(Fault::IrqlTooHigh);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExFreePool(ExAllocatePool(NonPagedPool, 16));
  PVOID view = map_user_view(state_.mdl);
  MmUnmapLockedPages(view, state_.mdl);
  KeLowerIrql(old);
  EXPECT_EQ(level.count(), 2);
  EXPECT_TRUE(
      mentions(level, "MmMapLockedPagesSpecifyCache(UserMode) called at IRQL 2; the highest allowed is 1"));
  EXPECT_TRUE(mentions(level, "MmUnmapLockedPages(user view) called at IRQL 2"));
}

TEST_F(ViewVerifier, ReportsAViewRemovedFromAnotherProcess) {
  sim::Process owner("owner"), other("other");
  toggle(owner);
  {
    ExpectFault other_process(Fault::ViewRemovedFromOtherProcess);
    toggle(other);
    EXPECT_TRUE(mentions(other_process, "view of process owner removed in process other"));
  }
  EXPECT_EQ(owner.views(), 0);
  toggle(owner);  // its own process may map and unmap again freely
  toggle(owner);
}

TEST_F(ViewVerifier, ReportsUnmappingWhatIsNotAView) {
  sim::Process owner("owner");
  toggle(owner);
  PVOID view = state_.view;
  toggle(owner);
  ExpectFault unknown(Fault::ViewUnknown);
  sim::ProcessScope scope(owner);
  MmUnmapLockedPages(view, state_.mdl);         // twice
  MmUnmapLockedPages(state_.pool, state_.mdl);  // the kernel's own address
  EXPECT_EQ(unknown.count(), 2);
}

TEST_F(ViewVerifier, ReportsAnMdlFreedUnderAView) {
  sim::Process owner("owner");
  toggle(owner);
  {
    ExpectFault mapped(Fault::MdlFreedWhileMapped);
    IoFreeMdl(std::exchange(state_.mdl, nullptr));
  }
  EXPECT_EQ(owner.views(), 0);  // the view went with it
}

TEST_F(ViewVerifier, ReportsAViewLeftWhenTheProcessEnds) {
  auto owner = std::make_unique<sim::Process>("short-lived");
  toggle(*owner);
  ExpectFault leak(Fault::ViewLeak);
  owner.reset();
  EXPECT_TRUE(mentions(leak, "process short-lived ended with user view"));
}

TEST_F(ViewVerifier, ReportsAViewAndItsMdlLeftAtUnload) {
  sim::Process owner("owner");
  toggle(owner);
  {
    ExpectFault under_view(Fault::PoolFreedUnderView);
    ExFreePool(std::exchange(state_.pool, nullptr));
  }
  ExpectFault view_leak(Fault::ViewLeak);
  ExpectFault mdl_leak(Fault::MdlLeak);
  stack_.finish();
  state_.mdl = nullptr;  // gone with the kernel's reset
  EXPECT_TRUE(mentions(view_leak, "in process owner"));
  EXPECT_EQ(owner.views(), 0);
}

TEST_F(ViewVerifier, ReportsAnMdlBuiltForPoolOverOtherMemory) {
  uint8_t on_stack[64];
  PMDL stack_mdl = IoAllocateMdl(on_stack, sizeof(on_stack), FALSE, FALSE, nullptr);
  PMDL too_long = IoAllocateMdl(state_.pool, kViewBytes + 1, FALSE, FALSE, nullptr);
  {
    ExpectFault not_pool(Fault::MdlNotNonPagedPool);
    MmBuildMdlForNonPagedPool(stack_mdl);
    MmBuildMdlForNonPagedPool(too_long);
    EXPECT_EQ(not_pool.count(), 2);
  }
  EXPECT_EQ(too_long->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
  IoFreeMdl(stack_mdl);
  IoFreeMdl(too_long);
  // The exact block, or a part of it, is fine; the kernel's view of pool is the pool itself.
  PMDL part = IoAllocateMdl(state_.pool + 100, 200, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(part);
  EXPECT_NE(part->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL, 0);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), state_.pool + 100);
  IoFreeMdl(part);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(state_.mdl, NormalPagePriority), state_.pool);
}

// ---- address spaces ----

// A handle is its process's: the calls of another process refuse it as unknown.
TEST(Handles, AreRefusedByTheCallsOfAnotherProcess) {
  LittleStack stack;
  stack.set(IRP_MJ_DEVICE_CONTROL, complete_success);
  sim::Process owner("owner"), other("other");
  sim::Handle handle = sim::kInvalidHandle;
  {
    sim::ProcessScope in(owner);
    ASSERT_EQ(sim::nt_create_file(LittleStack::kUserName, &handle), STATUS_SUCCESS);
  }
  {
    sim::ProcessScope in(other);
    EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::nt_close(handle), STATUS_INVALID_HANDLE);
  }
  sim::ProcessScope in(owner);
  EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  stack.finish();
}

// KeStackAttachProcess from a dispatch routine: the thread runs in the target
// process until the matching detach; the routine must undo its attaches, in order,
// below DISPATCH_LEVEL, before it returns.
struct AttachCase {
  const char* name;
  void (*commit)(PKPROCESS target);
  Fault fault;
  const char* message;  // null: nothing to report
};

KAPC_STATE g_outer, g_inner;
sim::Process* g_target = nullptr;
const AttachCase* g_attach = nullptr;

PKPROCESS as_process(sim::Process& process) { return reinterpret_cast<PKPROCESS>(process.object()); }

const AttachCase kAttaches[] = {
    {"AttachesAndDetaches",
     [](PKPROCESS target) {
       KeStackAttachProcess(target, &g_outer);
       EXPECT_EQ(IoGetCurrentProcess(), g_target->object());
       KeUnstackDetachProcess(&g_outer);
     },
     Fault::ProcessAttachUnbalanced, nullptr},
    {"NestsInOrder",
     [](PKPROCESS target) {
       KeStackAttachProcess(target, &g_outer);
       KeStackAttachProcess(as_process(sim::system_process()), &g_inner);
       EXPECT_EQ(IoGetCurrentProcess(), sim::system_process().object());
       KeUnstackDetachProcess(&g_inner);
       EXPECT_EQ(IoGetCurrentProcess(), g_target->object());
       KeUnstackDetachProcess(&g_outer);
     },
     Fault::ProcessAttachUnbalanced, nullptr},
    {"ReturnsAttached", [](PKPROCESS target) { KeStackAttachProcess(target, &g_outer); },
     Fault::ProcessAttachUnbalanced, "dispatch routine returned with the thread attached to process target"},
    {"DetachesOutOfOrder",
     [](PKPROCESS target) {
       KeStackAttachProcess(target, &g_outer);
       KeStackAttachProcess(as_process(sim::system_process()), &g_inner);
       KeUnstackDetachProcess(&g_outer);
     },
     Fault::ProcessAttachUnbalanced, "not the thread's last"},
    {"AttachesAtDispatchLevel",
     [](PKPROCESS target) {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeStackAttachProcess(target, &g_outer);
       KeUnstackDetachProcess(&g_outer);
       KeLowerIrql(old);
     },
     Fault::IrqlTooHigh, "KeStackAttachProcess called at IRQL 2"},
};

class Attach : public ::testing::TestWithParam<AttachCase> {};

TEST_P(Attach, LastsUntilTheMatchingDetach) {
  LittleStack stack;
  sim::Process target("target");
  g_target = &target;
  g_attach = &GetParam();
  stack.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) {
    g_attach->commit(as_process(*g_target));
    return complete_irp(irp, STATUS_SUCCESS);
  });
  sim::Handle handle = stack.open();
  {
    std::unique_ptr<ExpectFault> fault;
    if (GetParam().message != nullptr) fault = std::make_unique<ExpectFault>(GetParam().fault);
    EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    if (fault) {
      EXPECT_TRUE(mentions(*fault, GetParam().message));
    }
  }
  if (std::string(GetParam().name) == "ReturnsAttached") KeUnstackDetachProcess(&g_outer);
  EXPECT_EQ(IoGetCurrentProcess(), sim::default_process().object());
  stack.finish();
}

INSTANTIATE_TEST_SUITE_P(Cases, Attach, ::testing::ValuesIn(kAttaches), CaseName());

}  // namespace
}  // namespace simtest
