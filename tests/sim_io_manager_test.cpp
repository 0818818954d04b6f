// The I/O manager's side of an application's requests, seen from a little driver:
// deferred deletion of a device object with open handles, the buffers of
// METHOD_BUFFERED and METHOD_OUT_DIRECT requests, and user views of pool memory.
#include <algorithm>
#include <thread>

#include "sim_little_driver.h"

namespace simtest {
namespace {

// ---- deferred deletion ----

constexpr ULONG_PTR kMarker = 0x5EED5EED;

struct Deletion {
  std::vector<std::pair<UCHAR, PDEVICE_OBJECT>> requests;
  std::vector<ULONG_PTR> markers;  // what each request read from the extension
  bool unloaded = false;
};
Deletion* g_deletion = nullptr;

class DeferredDeletion : public ::testing::Test {
 protected:
  DeferredDeletion() {
    g_deletion = &state_;
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) {
      stack_.set(major, [](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        g_deletion->requests.push_back({IoGetCurrentIrpStackLocation(irp)->MajorFunction, device});
        g_deletion->markers.push_back(reinterpret_cast<ULONG_PTR>(layer_of(device)->context));
        return complete_irp(irp, STATUS_SUCCESS);
      });
    }
    stack_.driver().object()->DriverUnload = [](PDRIVER_OBJECT) { g_deletion->unloaded = true; };
    device_ = stack_.top();
    layer_of(device_)->context = reinterpret_cast<PVOID>(kMarker);
  }
  ~DeferredDeletion() override {
    stack_.finish();
    g_deletion = nullptr;
  }

  Deletion state_;
  LittleStack stack_;
  PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(DeferredDeletion, KeepsTheObjectForAnOpenHandleAndFreesItWithTheLastClose) {
  sim::Handle handle = stack_.open();
  IoDeleteDevice(device_);
  EXPECT_EQ(sim::deferred_device_count(), 1);
  EXPECT_EQ(sim::find_device(LittleStack::kDeviceName), nullptr);
  // Still on its driver's list, as on Windows, until the object is freed.
  EXPECT_EQ(stack_.driver().devices(), (std::vector<PDEVICE_OBJECT>{device_}));
  EXPECT_TRUE(sim::symbolic_link_exists(LittleStack::kLinkName));  // the driver has not removed it
  sim::Handle refused = 0;
  EXPECT_EQ(sim::nt_create_file(LittleStack::kUserName, &refused), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(refused, sim::kInvalidHandle);
  EXPECT_FALSE(stack_.driver().unload_if_idle());  // the object still counts as the driver's
  size_t before = state_.requests.size();
  EXPECT_EQ(sim::nt_device_io_control(handle, kBufferedCode, nullptr, 0, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(sim::nt_close(handle), STATUS_SUCCESS);
  // The requests reached the deleted object, its extension still there.
  std::vector<UCHAR> majors;
  for (size_t i = before; i < state_.requests.size(); ++i) {
    EXPECT_EQ(state_.requests[i].second, device_);
    EXPECT_EQ(state_.markers[i], kMarker);
    majors.push_back(state_.requests[i].first);
  }
  EXPECT_EQ(majors, (std::vector<UCHAR>{IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(sim::deferred_device_count(), 0);
  EXPECT_TRUE(stack_.driver().devices().empty());
  EXPECT_TRUE(stack_.driver().unload_if_idle());
  EXPECT_TRUE(state_.unloaded);
}

TEST_F(DeferredDeletion, ReleasesTheNameAtOnceForANewDevice) {
  sim::Handle old_handle = stack_.open();
  IoDeleteDevice(device_);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, LittleStack::kDeviceName);
  PDEVICE_OBJECT fresh = nullptr;
  ASSERT_EQ(IoCreateDevice(stack_.driver().object(), sizeof(LayerExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                           FALSE, &fresh),
            STATUS_SUCCESS);
  fresh->Flags &= ~DO_DEVICE_INITIALIZING;
  EXPECT_NE(fresh, device_);
  size_t before = state_.requests.size();
  sim::Handle new_handle = sim::kInvalidHandle;
  ASSERT_EQ(sim::nt_create_file(LittleStack::kUserName, &new_handle), STATUS_SUCCESS);
  EXPECT_EQ(state_.requests.at(before).second, fresh);
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
  NTSTATUS send(ULONG code, ULONG in, ULONG out) {
    input_.resize(in);
    for (ULONG i = 0; i < in; ++i) input_[i] = app_input(i);
    output_.assign(out + kGuard, kPoison);
    for (ULONG i = 0; i < out; ++i) output_[i] = app_output(i);
    information_ = 0xDEDEDEDE;
    return sim::nt_device_io_control(handle_, code, in ? input_.data() : nullptr, in,
                                     out ? output_.data() : nullptr, out, &information_);
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
  ULONG copied;  // bytes the application should get back
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
};

class Transfer : public Buffers, public ::testing::WithParamInterface<TransferCase> {};

TEST_P(Transfer, MovesTheBytesTheMethodSays) {
  const TransferCase& c = GetParam();
  bool direct = c.code == kOutDirectCode;
  control_.status = c.status;
  control_.information = c.information;
  control_.write = c.write;
  EXPECT_EQ(send(c.code, c.in, c.out), c.status);
  EXPECT_EQ(information_, c.information);
  EXPECT_EQ(control_.input_length, c.in);
  EXPECT_EQ(control_.output_length, c.out);
  EXPECT_EQ(control_.mdl != nullptr, direct && c.out > 0);
  ASSERT_EQ(control_.system_buffer != nullptr, c.in > 0 || (!direct && c.out > 0));
  if (control_.system_buffer != nullptr) {
    EXPECT_NE(control_.system_buffer, static_cast<void*>(input_.data()));
    EXPECT_NE(control_.system_buffer, static_cast<void*>(output_.data()));
    EXPECT_EQ(control_.input_seen, input_);
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

// Writes one byte out of reach of AddressSanitizer, as a faulty driver compiled
// without it would: the platform's guard is what must notice.
__attribute__((no_sanitize("address"), noinline)) void unchecked_write(uint8_t* at, uint8_t value) {
  *reinterpret_cast<volatile uint8_t*>(at) = value;
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
  EXPECT_NE(overrun.messages()[0].find("block of " + std::to_string(std::max(in, out)) + " bytes"),
            std::string::npos)
      << overrun.messages()[0];
}

INSTANTIATE_TEST_SUITE_P(Lengths, BufferedSize,
                         ::testing::Values(std::make_pair(24u, 7u), std::make_pair(7u, 24u),
                                           std::make_pair(0u, 33u), std::make_pair(33u, 0u),
                                           std::make_pair(4096u, 4096u)));

// ---- user views of pool memory ----

constexpr ULONG kViewBytes = 3 * 4096 + 100;

struct ViewState {
  uint8_t* pool = nullptr;
  PMDL mdl = nullptr;
  uint8_t* view = nullptr;
  PEPROCESS process = nullptr;
};
ViewState* g_view = nullptr;

class UserView : public ::testing::Test {
 protected:
  UserView() {
    g_view = &state_;
    state_.pool = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, kViewBytes));
    for (ULONG i = 0; i < kViewBytes; ++i) state_.pool[i] = static_cast<uint8_t>(i * 7);
    state_.mdl = IoAllocateMdl(state_.pool, kViewBytes, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(state_.mdl);
  }
  ~UserView() override {
    IoFreeMdl(state_.mdl);
    ExFreePool(state_.pool);
    stack_.finish();
    g_view = nullptr;
  }

  // The driver maps (or unmaps) the block from a request made in `process`.
  void toggle(sim::Process& process) {
    stack_.set(IRP_MJ_DEVICE_CONTROL, [](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
      ViewState& v = *g_view;
      v.process = IoGetCurrentProcess();
      if (v.view == nullptr) {
        v.view = static_cast<uint8_t*>(
            MmMapLockedPagesSpecifyCache(v.mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority));
      } else {
        MmUnmapLockedPages(std::exchange(v.view, nullptr), v.mdl);
      }
      return complete_irp(irp, STATUS_SUCCESS);
    });
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
  EXPECT_EQ(memcmp(state_.view, state_.pool, kViewBytes), 0);
  state_.view[0] = 0x11;
  state_.view[kViewBytes - 1] = 0x22;
  EXPECT_EQ(state_.pool[0], 0x11);
  EXPECT_EQ(state_.pool[kViewBytes - 1], 0x22);
  state_.pool[4096] = 0x33;
  EXPECT_EQ(state_.view[4096], 0x33);
  toggle(viewer);  // removed by the process that has it
  EXPECT_EQ(state_.view, nullptr);
  EXPECT_EQ(viewer.views(), 0);
}

TEST_F(UserView, MadeOnASystemThreadBelongsToTheSystemProcess) {
  std::thread worker([this] {
    sim::ProcessScope scope(sim::system_process());
    PVOID view =
        MmMapLockedPagesSpecifyCache(state_.mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    EXPECT_EQ(sim::system_process().views(), 1);
    EXPECT_EQ(sim::default_process().views(), 0);
    MmUnmapLockedPages(view, state_.mdl);
  });
  worker.join();
  EXPECT_EQ(sim::system_process().views(), 0);
}

}  // namespace
}  // namespace simtest
