// The memory manager's checks as Windows makes them: user views only at or below
// APC_LEVEL, of whole pages, with a failed mapping raised as an exception the
// driver must catch; MDLs with their page arrays; partial MDLs and their rules.
// Each row commits a fault and shows the legal look-alike unreported.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>

#include "sim_little_driver.h"

namespace simtest {
namespace {

using sim::ExpectFault;
using sim::Fault;

// A page-aligned pool block of `size` bytes described by an MDL built for pool.
struct PoolBuffer {
  explicit PoolBuffer(ULONG size, ULONG offset = 0) {
    block = static_cast<uint8_t*>(ExAllocatePool(NonPagedPool, size + offset));
    for (ULONG i = 0; i < size + offset; ++i) block[i] = static_cast<uint8_t>(i * 13);
    mdl = IoAllocateMdl(block + offset, size, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
  }
  ~PoolBuffer() {
    if (mdl != nullptr) IoFreeMdl(mdl);
    ExFreePool(block);
  }
  uint8_t* block;
  PMDL mdl;
};

struct Mapping {
  PMDL mdl;
  PVOID view = nullptr;
};

void NTAPI map_user(PVOID context) {
  auto* m = static_cast<Mapping*>(context);
  m->view = MmMapLockedPagesSpecifyCache(m->mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
}

// Maps and unmaps a user view of `mdl` at `irql`, inside a guarded call.
void view_at(PMDL mdl, KIRQL irql) {
  KIRQL old;
  KeRaiseIrql(irql, &old);
  Mapping m{mdl};
  EXPECT_EQ(SimCallGuarded(map_user, &m), STATUS_SUCCESS);
  if (m.view != nullptr) MmUnmapLockedPages(m.view, mdl);
  KeLowerIrql(old);
}

void view_at_dispatch() { view_at(PoolBuffer(PAGE_SIZE).mdl, DISPATCH_LEVEL); }
void view_at_apc() { view_at(PoolBuffer(PAGE_SIZE).mdl, APC_LEVEL); }

void failed_view(bool guarded) {
  PoolBuffer buffer(PAGE_SIZE);
  sim::inject::fail_user_mapping(1);
  Mapping m{buffer.mdl};
  if (guarded) {
    EXPECT_EQ(SimCallGuarded(map_user, &m), STATUS_INSUFFICIENT_RESOURCES);
  } else {
    ExpectFault unguarded(Fault::UserMappingUnguarded);
    map_user(&m);  // the exception has nowhere to go
  }
  EXPECT_EQ(m.view, nullptr);
}

void view_of(ULONG size, ULONG offset) {
  PoolBuffer buffer(size, offset);
  view_at(buffer.mdl, PASSIVE_LEVEL);
}

// A partial MDL of the second and third pages of a four-page source, in a target
// of `target_pages` pages; the source is freed before or after it.
void partial(ULONG target_pages, bool source_first) {
  auto* source = new PoolBuffer(4 * PAGE_SIZE);
  PMDL target = IoAllocateMdl(source->block, target_pages * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source->mdl, target, source->block + PAGE_SIZE, 2 * PAGE_SIZE);
  if (source_first) delete source;
  IoFreeMdl(target);
  if (!source_first) delete source;
}

// A user view of a partial MDL made after (or before) its source is freed.
void partial_viewed(bool after_free) {
  PoolBuffer source(4 * PAGE_SIZE);
  PMDL target = IoAllocateMdl(source.block, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source.mdl, target, source.block + PAGE_SIZE, 0);  // the rest of the source
  EXPECT_EQ(target->ByteCount, 3 * PAGE_SIZE);
  if (after_free) IoFreeMdl(std::exchange(source.mdl, nullptr));
  Mapping m{target};
  SimCallGuarded(map_user, &m);
  if (m.view != nullptr) {
    EXPECT_EQ(memcmp(m.view, source.block + PAGE_SIZE, 3 * PAGE_SIZE), 0);  // its own pages only
    MmUnmapLockedPages(m.view, target);
  }
  IoFreeMdl(target);  // then the source, unless it went first
}

void partial_range(ULONG offset) {
  PoolBuffer source(2 * PAGE_SIZE);
  PMDL target = IoAllocateMdl(source.block, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source.mdl, target, source.block + offset, PAGE_SIZE);
  IoFreeMdl(target);
}

// A user view of pool that succeeds, made with or without a handler for the
// exception a failed one would raise.
void mapping(bool guarded) {
  PoolBuffer buffer(PAGE_SIZE);
  Mapping m{buffer.mdl};
  if (guarded) {
    SimCallGuarded(map_user, &m);
  } else {
    map_user(&m);
  }
  ASSERT_NE(m.view, nullptr);
  MmUnmapLockedPages(m.view, buffer.mdl);
}

// Pool freed while a user view still shows it, or after the view went.
void freed_under_view(bool view_first) {
  PVOID block = ExAllocatePool(NonPagedPool, 2 * PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(block, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  PVOID view = map_user_view(mdl);
  if (view_first) MmUnmapLockedPages(view, mdl);
  ExFreePool(block);
  if (!view_first) MmUnmapLockedPages(view, mdl);
  IoFreeMdl(mdl);
}

// A UserMode wait, on an event in the waiting thread's stack or in pool; the
// kernel-mode wait on the stack is fine.
void user_wait(bool on_stack) {
  KEVENT local;
  auto* pooled = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, sizeof(KEVENT)));
  PKEVENT event = on_stack ? &local : pooled;
  KeInitializeEvent(event, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(event, Executive, UserMode, FALSE, nullptr), STATUS_SUCCESS);
  KeInitializeEvent(&local, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&local, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  ExFreePool(pooled);
}

// Pool holding an event is freed while another thread waits on it, or after the
// waiter has been woken and has returned. The faulty free is reported and leaves
// the pages in place, so the waiter is still woken through them.
void freed_under_waiter(bool woken_first) {
  auto* event = static_cast<PKEVENT>(ExAllocatePool(NonPagedPool, 64));
  KeInitializeEvent(event, NotificationEvent, FALSE);
  std::thread waiter([event] {
    EXPECT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  });
  ASSERT_TRUE(sim::wait_for_waiter(event, kBound));
  if (woken_first) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    waiter.join();
  }
  ExFreePool(event);
  if (!woken_first) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    waiter.join();
  }
}

struct MemoryCase {
  const char* name;
  Fault fault;
  void (*faulty)();
  void (*legal)();
};

const MemoryCase kMemoryCases[] = {
    {"UserViewAtDispatchLevel", Fault::IrqlTooHigh, view_at_dispatch, view_at_apc},
    {"FailedUserMappingNotCaught", Fault::ExceptionNotCaught, [] { failed_view(false); },
     [] { failed_view(true); }},
    {"UserViewOfPartOfAPage", Fault::UserViewNotPageAligned, [] { view_of(PAGE_SIZE + 100, 0); },
     [] { view_of(2 * PAGE_SIZE, 0); }},
    {"UserViewStartingInsideAPage", Fault::UserViewNotPageAligned, [] { view_of(PAGE_SIZE, 64); },
     [] { view_of(PAGE_SIZE, PAGE_SIZE); }},
    {"PartialMdlTooSmall", Fault::PartialMdlTooSmall, [] { partial(1, false); }, [] { partial(2, false); }},
    {"PartialMdlFreedAfterItsSource", Fault::PartialMdlOutlivesSource, [] { partial(2, true); },
     [] { partial(2, false); }},
    {"PartialMdlMappedAfterItsSourceWasFreed", Fault::PartialMdlOutlivesSource, [] { partial_viewed(true); },
     [] { partial_viewed(false); }},
    {"PartialMdlOutsideItsSource", Fault::InvalidArgument, [] { partial_range(PAGE_SIZE + 1); },
     [] { partial_range(PAGE_SIZE); }},
    {"UserMappingWithNoHandler", Fault::UserMappingUnguarded, [] { mapping(false); }, [] { mapping(true); }},
    {"PoolFreedUnderAUserView", Fault::PoolFreedUnderView, [] { freed_under_view(false); },
     [] { freed_under_view(true); }},
    {"UserModeWaitOnAStackEvent", Fault::UserModeWaitOnStack, [] { user_wait(true); },
     [] { user_wait(false); }},
    {"PoolFreedUnderAWaiter", Fault::EventFreedWhileWaited, [] { freed_under_waiter(false); },
     [] { freed_under_waiter(true); }},
};

class MemoryCheck : public ::testing::TestWithParam<MemoryCase> {
 protected:
  ~MemoryCheck() override { stack_.finish(); }
  LittleStack stack_;
};

TEST_P(MemoryCheck, FiresOnTheFaultAndNotOnItsLookAlike) {
  {
    ExpectFault fault(GetParam().fault);
    GetParam().faulty();
    EXPECT_GE(fault.count(), 1);
  }
  GetParam().legal();
}

INSTANTIATE_TEST_SUITE_P(Table, MemoryCheck, ::testing::ValuesIn(kMemoryCases), CaseName());

// Guarded calls nest: an exception goes to the innermost, and the outer one still
// catches what is raised after the inner returned.
TEST(GuardedCall, CatchesInTheInnermostFrame) {
  static NTSTATUS inner;
  NTSTATUS outer = SimCallGuarded(
      [](PVOID) {
        inner = SimCallGuarded([](PVOID) { ExRaiseStatus(STATUS_INVALID_PARAMETER); }, nullptr);
        ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
      },
      nullptr);
  EXPECT_EQ(inner, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(outer, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SimCallGuarded([](PVOID) {}, nullptr), STATUS_SUCCESS);
  ExpectFault uncaught(Fault::ExceptionNotCaught);
  ExRaiseStatus(STATUS_UNSUCCESSFUL);  // every frame is gone
}

// ---- MDLs as a direct request brings them: unmapped, over the application's pages ----

struct PartialSeen {
  PFN_NUMBER source_pfns[3];
  PFN_NUMBER partial_pfns[2];
  USHORT source_size;
  CSHORT partial_flags;
  bool mapped_alias;
};
PartialSeen* g_seen = nullptr;

constexpr ULONG kOffset = PAGE_SIZE + 10;  // the partial view starts inside the second page

// Writes through a partial MDL's own system view, then remaps it after
// MmPrepareMdlForReuse over another range.
NTSTATUS NTAPI write_through_partial(PDEVICE_OBJECT, PIRP irp) {
  PMDL source = irp->MdlAddress;
  PartialSeen& seen = *g_seen;
  seen.source_size = static_cast<USHORT>(source->Size);
  memcpy(seen.source_pfns, MmGetMdlPfnArray(source), sizeof(seen.source_pfns));
  PVOID start = static_cast<uint8_t*>(MmGetMdlVirtualAddress(source)) + kOffset;
  PMDL partial = IoAllocateMdl(start, PAGE_SIZE, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, partial, start, PAGE_SIZE);
  memcpy(seen.partial_pfns, MmGetMdlPfnArray(partial), sizeof(seen.partial_pfns));
  auto* view = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
  seen.partial_flags = partial->MdlFlags;
  for (ULONG i = 0; i < PAGE_SIZE; ++i) view[i] = static_cast<uint8_t>(i + 1);
  MmPrepareMdlForReuse(partial);
  IoBuildPartialMdl(source, partial, MmGetMdlVirtualAddress(source), 16);
  view = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
  seen.mapped_alias = view != nullptr && view != MmGetMdlVirtualAddress(source);
  memset(view, 0xAB, 16);
  IoFreeMdl(partial);  // takes its mapping with it
  return complete_irp(irp, STATUS_SUCCESS, 3 * PAGE_SIZE);
}

TEST(PartialMdl, MapsItsOwnSubRangeOfAnUnmappedSourceAndCarriesItsPages) {
  LittleStack stack;
  PartialSeen seen{};
  g_seen = &seen;
  stack.set(IRP_MJ_DEVICE_CONTROL, write_through_partial);
  std::vector<uint8_t> output(3 * PAGE_SIZE, 0xDE);
  sim::Handle handle = stack.open();
  ASSERT_EQ(sim::nt_device_io_control(handle, kOutDirectCode, nullptr, 0, output.data(),
                                      static_cast<ULONG>(output.size()), nullptr),
            STATUS_SUCCESS);
  for (size_t i = 0; i < output.size(); ++i) {
    uint8_t expected = i < 16                                    ? 0xAB
                       : i >= kOffset && i < kOffset + PAGE_SIZE ? static_cast<uint8_t>(i - kOffset + 1)
                                                                 : 0xDE;
    ASSERT_EQ(output[i], expected) << i;
  }
  PVOID base = output.data();
  EXPECT_EQ(seen.source_size, MmSizeOfMdl(base, output.size()));
  EXPECT_NE(seen.partial_flags & MDL_PARTIAL, 0);
  EXPECT_NE(seen.partial_flags & MDL_PARTIAL_HAS_BEEN_MAPPED, 0);
  EXPECT_TRUE(seen.mapped_alias);
  // Whatever pages the buffer lies on, the partial MDL names the source's from the one holding kOffset.
  size_t first = (BYTE_OFFSET(base) + kOffset) / PAGE_SIZE;
  EXPECT_NE(seen.source_pfns[0], 0u);
  EXPECT_EQ(seen.partial_pfns[0], seen.source_pfns[first]);
  EXPECT_EQ(seen.partial_pfns[1], seen.source_pfns[first + 1]);
  stack.finish();
  g_seen = nullptr;
}

// ---- a user view is reachable from its own process only ----

// A page of pool with a view of it in process "owner", and a camera whose control
// transfers complete on the host controller's thread.
struct Reach {
  CameraRig* rig;
  sim::Process* owner;
  uint8_t* kernel;
  uint8_t* view;
  const ExpectFault* fault = nullptr;  // the expectation of a faulty run
  int reported_at_access = -1;         // its count right after the access
};

void note_access(Reach& r) {
  if (r.fault != nullptr) r.reported_at_access = r.fault->count();
}

// A register read's completion routine, on the host controller's thread, copies
// the two bytes it got to the application's address or to the kernel's.
void copy_in_completion(Reach& r, bool to_user) {
  static Reach* reach;
  reach = &r;
  r.rig->device().set_control_deferred(true);
  auto read = r.rig->read_register(0x35);
  read->hook_context = to_user ? r.view : r.kernel;
  read->hook = [](UrbIrp* self) {
    memcpy(self->hook_context, self->buffer.data(), 2);
    note_access(*reach);
  };
  EXPECT_EQ(read->send_and_wait(), STATUS_SUCCESS);
  EXPECT_NE(read->thread, std::this_thread::get_id());
}

// A system thread writes the view, attached to the owner's process or not.
void write_from_system_thread(Reach& r, bool attach) {
  std::thread worker([&r, attach] {
    sim::ProcessScope system(sim::system_process());
    KAPC_STATE state;
    if (attach) KeStackAttachProcess(reinterpret_cast<PKPROCESS>(r.owner->object()), &state);
    unchecked_write(r.view, 0x5A);
    note_access(r);
    if (attach) KeUnstackDetachProcess(&state);
  });
  worker.join();
}

// Code running in another process (a dispatch routine of its request), or in the
// owner's, writes the view.
void write_in_process(Reach& r, bool owner) {
  sim::Process other("other");
  sim::ProcessScope scope(owner ? *r.owner : other);
  unchecked_write(r.view + 1, 0xA5);
  note_access(r);
}

// The owner's routine writes the view, which opens it, and waits for a transfer
// whose completion copies to the user address or the kernel's: the wait closed
// the view again.
void copy_while_owner_waits(Reach& r, bool to_user) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  std::thread sender([&] {
    EXPECT_TRUE(sim::wait_for_waiter(&done, kBound));
    copy_in_completion(r, to_user);
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  });
  {
    sim::ProcessScope scope(*r.owner);
    unchecked_write(r.view + 1, 0x11);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  sender.join();
}

struct ReachCase {
  const char* name;
  void (*touch)(Reach&, bool faulty);
};

const ReachCase kReaches[] = {
    {"CompletionRoutineCopiesToTheUserAddress", [](Reach& r, bool faulty) { copy_in_completion(r, faulty); }},
    {"SystemThreadWritesWithoutAttaching",
     [](Reach& r, bool faulty) { write_from_system_thread(r, !faulty); }},
    {"AnotherProcessWrites", [](Reach& r, bool faulty) { write_in_process(r, !faulty); }},
    {"CompletionWhileTheOwnerWaits", [](Reach& r, bool faulty) { copy_while_owner_waits(r, faulty); }},
};

class ViewReach : public ::testing::TestWithParam<ReachCase> {
 protected:
  ViewReach() {
    buffer_ = std::make_unique<PoolBuffer>(PAGE_SIZE);
    sim::ProcessScope scope(owner_);
    reach_ = {&rig_, &owner_, buffer_->block, static_cast<uint8_t*>(map_user_view(buffer_->mdl))};
  }
  ~ViewReach() override {
    {
      sim::ProcessScope scope(owner_);
      MmUnmapLockedPages(reach_.view, buffer_->mdl);
    }
    buffer_.reset();
    rig_.finish();
  }

  sim::Process owner_{"owner"};
  CameraRig rig_;
  std::unique_ptr<PoolBuffer> buffer_;
  Reach reach_{};
};

// The faulty access is reported by the time the instruction after it runs, and
// goes on; the same access from the owner's context is silent. Either way the
// bytes are in the memory the view shows.
TEST_P(ViewReach, ReportsAnAccessFromAnotherProcessAtOnceAndNotFromItsOwn) {
  for (bool faulty : {true, false}) {
    SCOPED_TRACE(faulty ? "faulty" : "legal");
    memset(reach_.kernel, 0xDE, 2);
    std::unique_ptr<ExpectFault> fault;
    if (faulty) fault = std::make_unique<ExpectFault>(Fault::UserAddressFromOtherProcess);
    reach_.fault = fault.get();
    GetParam().touch(reach_, faulty);
    if (faulty) {
      EXPECT_EQ(reach_.reported_at_access, 1);
      EXPECT_TRUE(mentions(*fault, "(a view of process owner) touched while process "));
    }
    EXPECT_FALSE(reach_.kernel[0] == 0xDE && reach_.kernel[1] == 0xDE);  // the bytes landed
    uint8_t seen[2] = {};
    sim::ProcessScope scope(owner_);
    ASSERT_TRUE(sim::read_user_view(reach_.view, seen, 2));
    EXPECT_EQ(memcmp(seen, reach_.kernel, 2), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ViewReach, ::testing::ValuesIn(kReaches), CaseName());

// ---- a direct request's pages: the application's own, nothing copied ----

// What the driver of a direct request does: writes `value` over [from, to) of its
// buffer through the system view, records the pages, and either completes or
// holds the request for the test to complete.
struct DirectWrite {
  size_t from = 0, to = 0;
  uint8_t value = 0;
  bool hold = false;
  PIRP held = nullptr;
  Signal written;
  uint8_t* view = nullptr;
  std::vector<PFN_NUMBER> pfns;
};
DirectWrite* g_direct = nullptr;

NTSTATUS NTAPI write_direct(PDEVICE_OBJECT, PIRP irp) {
  DirectWrite& d = *g_direct;
  PMDL mdl = irp->MdlAddress;
  d.view = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  d.pfns.assign(pfns, pfns + ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount));
  memset(d.view + d.from, d.value, d.to - d.from);
  if (!d.hold) return complete_irp(irp, STATUS_SUCCESS, MmGetMdlByteCount(mdl));
  IoMarkIrpPending(irp);
  d.held = irp;
  d.written.set();
  return STATUS_PENDING;
}

class DirectPages : public ::testing::Test {
 protected:
  DirectPages() {
    g_direct = &direct_;
    stack_.set(IRP_MJ_DEVICE_CONTROL, write_direct);
    handle_ = stack_.open();
  }
  ~DirectPages() override {
    stack_.finish();
    g_direct = nullptr;
  }

  // A direct request for [buffer, buffer + length) whose driver writes `value` over all of it.
  NTSTATUS read(void* buffer, size_t length, uint8_t value) {
    direct_.from = 0;
    direct_.to = length;
    direct_.value = value;
    return sim::nt_device_io_control(handle_, kOutDirectCode, nullptr, 0, buffer, static_cast<ULONG>(length),
                                     nullptr);
  }

  DirectWrite direct_;
  LittleStack stack_;
  sim::Handle handle_ = sim::kInvalidHandle;
};

// The bytes a driver writes into the whole pages of the buffer are there while the
// request is still pending; those in the pages the buffer shares with other memory
// arrive as it completes, and nothing beside the buffer is touched.
TEST_F(DirectPages, TheApplicationSeesTheBytesAsTheyLand) {
  constexpr size_t kLength = 5 * PAGE_SIZE;
  std::vector<uint8_t> memory(kLength + 3 * PAGE_SIZE, 0xDE);
  uint8_t* buffer = memory.data() + (PAGE_SIZE - BYTE_OFFSET(memory.data())) + 100;  // 100 bytes into a page
  direct_.to = kLength;
  direct_.value = 0x5A;
  direct_.hold = true;
  NTSTATUS status = STATUS_PENDING;
  std::thread application([&] {
    status = sim::nt_device_io_control(handle_, kOutDirectCode, nullptr, 0, buffer, kLength, nullptr);
  });
  ASSERT_TRUE(direct_.written.wait());
  EXPECT_NE(direct_.view, buffer);
  uint8_t* whole_pages = buffer + PAGE_SIZE - 100;
  EXPECT_EQ(std::count(whole_pages, whole_pages + 4 * PAGE_SIZE, 0x5A), 4 * PAGE_SIZE);
  complete_irp(direct_.held, STATUS_SUCCESS, kLength);
  application.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(std::count(buffer, buffer + kLength, 0x5A), static_cast<long>(kLength));
  EXPECT_EQ(buffer[-1], 0xDE);
  EXPECT_EQ(buffer[kLength], 0xDE);
}

// The MDL names the application's pages: the same buffer is the same pages every
// time, another buffer other pages, and the system view is not the user address.
TEST_F(DirectPages, DescribeTheApplicationsOwnPages) {
  constexpr size_t kLength = 8 * PAGE_SIZE;
  std::vector<uint8_t> first(kLength), second(kLength);
  ASSERT_EQ(read(first.data(), kLength, 1), STATUS_SUCCESS);
  std::vector<PFN_NUMBER> pages = direct_.pfns;
  ASSERT_EQ(read(first.data(), kLength, 2), STATUS_SUCCESS);
  EXPECT_EQ(direct_.pfns, pages);
  ASSERT_EQ(read(second.data(), kLength, 3), STATUS_SUCCESS);
  EXPECT_NE(direct_.view, second.data());
  for (PFN_NUMBER pfn : direct_.pfns) EXPECT_EQ(std::count(pages.begin(), pages.end(), pfn), 0) << pfn;
  EXPECT_EQ(std::count(first.begin(), first.end(), 2), static_cast<long>(kLength));
  EXPECT_EQ(std::count(second.begin(), second.end(), 3), static_cast<long>(kLength));
}

// Memory the application gave back and got again at the same address is new
// pages: the driver's bytes land in them, not in the old ones.
TEST_F(DirectPages, FollowTheApplicationToNewMemoryAtTheSameAddress) {
  constexpr size_t kLength = 16 * PAGE_SIZE;
  void* at = mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(at, MAP_FAILED);
  ASSERT_EQ(read(at, kLength, 1), STATUS_SUCCESS);
  ASSERT_EQ(munmap(at, kLength), 0);
  void* again =
      mmap(at, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  ASSERT_EQ(again, at);
  auto* bytes = static_cast<uint8_t*>(again);
  EXPECT_EQ(bytes[0], 0);  // fresh memory
  ASSERT_EQ(read(again, kLength, 2), STATUS_SUCCESS);
  EXPECT_EQ(std::count(bytes, bytes + kLength, 2), static_cast<long>(kLength));
  munmap(again, kLength);
}

// A buffer in a file the application mapped stays the file's: what the driver
// writes reaches the file.
TEST_F(DirectPages, LeaveAMappedFilesPagesInTheFile) {
  constexpr size_t kLength = 4 * PAGE_SIZE;
  int fd = memfd_create("application-file", MFD_CLOEXEC);
  ASSERT_EQ(ftruncate(fd, kLength), 0);
  void* mapped = mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  ASSERT_EQ(read(mapped, kLength, 7), STATUS_SUCCESS);
  std::vector<uint8_t> file(kLength);
  ASSERT_EQ(pread(fd, file.data(), kLength, 0), static_cast<ssize_t>(kLength));
  EXPECT_EQ(std::count(file.begin(), file.end(), 7), static_cast<long>(kLength));
  munmap(mapped, kLength);
  close(fd);
}

// The pool's addresses are never reused within a scenario, but the next scenario
// starts the arena over once nothing is left in it: thousands of scenarios in one
// process (a fuzzer's) neither run out of the arena nor keep growing the
// sanitizer's shadow of it. A leak, once reported, is gone from the pool; a block
// still live at the reset keeps its address, and the arena goes on after it.
TEST(PoolArena, StartsOverInTheNextScenarioOnlyOnceNothingIsLeft) {
  auto scenario = [] {
    PVOID block = ExAllocatePool(NonPagedPool, 3 * PAGE_SIZE);
    PVOID next = ExAllocatePool(NonPagedPool, 64);
    EXPECT_NE(next, block);
    ExFreePool(block);
    ExFreePool(next);
    sim::check_for_leaks("at the end of the scenario");
    sim::reset_kernel();
    return block;
  };
  PVOID first = scenario();
  EXPECT_EQ(scenario(), first);
  ExAllocatePool(NonPagedPool, 64);
  {
    ExpectFault leak(Fault::PoolLeak);
    sim::check_for_leaks("at the end of the scenario");
  }
  sim::reset_kernel();
  EXPECT_EQ(scenario(), first);
  PVOID held = ExAllocatePool(NonPagedPool, 64);
  sim::reset_kernel();
  PVOID after = ExAllocatePool(NonPagedPool, 64);
  EXPECT_NE(after, held);
  EXPECT_NE(after, first);
  ExFreePool(after);
  ExFreePool(held);
}

}  // namespace
}  // namespace simtest
