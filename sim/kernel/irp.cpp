// IRPs: allocation, the call down a device stack and the completion walk back up,
// cancellation, and the bookkeeping the verifier needs. Freed IRPs are kept in a
// quarantine for a while so that a late use is reported rather than corrupting a
// reused packet.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sim/kernel.h>

#include "internal.h"

namespace sim {
namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr size_t kQuarantine = 4096;
constexpr unsigned char kFreedFill = 0xDD;

// One dispatch routine's hold on an IRP: from IofCallDriver at a location until
// both the routine has returned and a completion walk has passed that location.
// What the routine returned is checked against the location's pending mark once
// both are known, whichever comes first.
struct CallRecord {
  uint64_t serial;
  int location;
  bool returned = false;
  bool returned_pending = false;
  bool lower_pending = false;  // a routine at the location below returned STATUS_PENDING
  bool passed = false;
  bool marked_at_pass = false;
  NTSTATUS status_at_pass = 0;  // what the request was completed with past this location
  bool reported = false;
};

// A completion walk in progress. Another completion of the same sending while a
// routine of this walk runs is legal only if that routine then stops the walk.
struct WalkEntry {
  uint64_t id;
  uint64_t generation;
  std::thread::id thread;
  bool completed_again = false;
  bool in_routine = false;
  // A routine stopped the walk with STATUS_MORE_PROCESSING_REQUIRED: the IRP is its
  // owner's again, though the walk has not yet ended on this thread.
  bool handed_back = false;
  // Another thread freed, reused or reinitialised the IRP while a routine of this
  // walk ran: legal only if that routine then stops the walk.
  const char* touched_by_other = nullptr;
};

struct IrpTrack {
  bool platform = false;   // built by the platform; its finisher runs at the top
  bool from_pool = false;  // the driver's own memory, set up by IoInitializeIrp
  bool walked = false;     // has been completed at least once
  IrpFinisher finisher;
  size_t bytes = 0;
  int call_depth = 0;
  std::vector<WalkEntry> walks;  // completion walks running now
  uint64_t next_walk = 0;
  uint64_t generation = 0;  // bumped by every IofCallDriver
  bool held_below = false;
  bool completed = false;
  bool freed = false;
  bool release_wanted = false;
  uint64_t pending_marks = 0;  // bit n: location n marked pending
  uint64_t next_serial = 0;
  std::vector<CallRecord> calls;
};

struct IrpTable {
  std::mutex mutex;
  std::unordered_map<PIRP, IrpTrack> irps;
  std::deque<PIRP> quarantine;
};

IrpTable& table() {
  static IrpTable* t = new IrpTable();
  return *t;
}

KSPIN_LOCK g_cancel_lock = 0;

// Completion routines running on this thread, and whether the nesting of
// routines that call IofCallDriver has been reported in this chain.
constexpr int kDefaultNestingLimit = 4;
std::atomic<int> g_nesting_limit{kDefaultNestingLimit};
thread_local int t_routines = 0;
thread_local bool t_nesting_reported = false;
thread_local int t_calls = 0;  // IofCallDriver frames on this thread

// Looks up an IRP for an operation; reports unknown or freed packets.
IrpTrack* find_live(PIRP irp, const char* operation) {
  auto it = table().irps.find(irp);
  if (it == table().irps.end()) {
    report_fault(Fault::InvalidArgument,
                 std::string(operation) + " on unknown IRP " + hex(reinterpret_cast<uintptr_t>(irp)));
    return nullptr;
  }
  if (it->second.freed) {
    report_fault(Fault::IrpUsedAfterFree, std::string(operation) + " on " + describe_irp(irp));
    return nullptr;
  }
  return &it->second;
}

WalkEntry* find_walk(IrpTrack& track, uint64_t walk) {
  for (WalkEntry& entry : track.walks) {
    if (entry.id == walk) return &entry;
  }
  return nullptr;
}

bool marked(const IrpTrack& track, int location) {
  return location > 0 && location < 64 && ((track.pending_marks >> location) & 1) != 0;
}

CallRecord* find_call(IrpTrack& track, uint64_t serial) {
  for (CallRecord& call : track.calls) {
    if (call.serial == serial) return &call;
  }
  return nullptr;
}

void forget_call(IrpTrack& track, uint64_t serial) {
  for (auto it = track.calls.begin(); it != track.calls.end(); ++it) {
    if (it->serial == serial) {
      track.calls.erase(it);
      return;
    }
  }
}

// Whether a dispatch routine still holds the IRP at its current location: it was
// sent there and no completion has come back past it. The allocator's own level,
// and a location it set up for itself, are never held.
bool owned_below(PIRP irp, const IrpTrack& track) {
  if (track.held_below) return true;
  for (const CallRecord& call : track.calls) {
    if (call.location == irp->CurrentLocation && !call.passed) return true;
  }
  return false;
}

// The routine's return value against the location's pending mark.
void check_pending(PIRP irp, CallRecord& call, bool is_marked) {
  if (call.reported) return;
  if (call.returned_pending && !is_marked) {
    report_fault(Fault::PendingNotMarked, describe_irp(irp) + " at stack location " +
                                              std::to_string(call.location) +
                                              " was not marked pending when it completed");
  } else if (!call.returned_pending && is_marked) {
    report_fault(Fault::MarkedPendingButNotReturned,
                 describe_irp(irp) + " at stack location " + std::to_string(call.location) +
                     " was marked pending but its dispatch routine returned a final status");
  }
  call.reported = true;
}

// A completion walk reads location n's pending mark: the dispatch routines that
// held the IRP there have it back.
void note_passed(PIRP irp, int location) {
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack& track = table().irps[irp];
  bool is_marked = marked(track, location);
  for (auto it = track.calls.begin(); it != track.calls.end();) {
    if (it->location != location || it->passed) {
      ++it;
      continue;
    }
    it->passed = true;
    it->marked_at_pass = is_marked;
    it->status_at_pass = irp->IoStatus.Status;
    if (!it->returned) {
      ++it;
      continue;
    }
    check_pending(irp, *it, is_marked);
    it = track.calls.erase(it);
  }
}

// Checks what a dispatch routine returned. A final status needs the IRP completed
// past the routine's location; STATUS_PENDING needs the location marked, now or,
// when a lower driver returned STATUS_PENDING too, by the time completion passes
// it (a routine that propagates the mark, or the I/O manager where none is set).
void after_dispatch(PIRP irp, IrpTrack& track, uint64_t serial, NTSTATUS status) {
  CallRecord* call = find_call(track, serial);
  if (call == nullptr) return;
  call->returned = true;
  call->returned_pending = status == STATUS_PENDING;
  if (call->returned_pending) {
    for (CallRecord& above : track.calls) {
      if (above.location == call->location + 1 && !above.returned) above.lower_pending = true;
    }
  }
  if (call->passed) {
    check_pending(irp, *call, call->marked_at_pass);
    if (!call->returned_pending && status != call->status_at_pass) {
      report_fault(Fault::DispatchStatusMismatch, describe_irp(irp) + " was completed with " +
                                                      hex(static_cast<ULONG>(call->status_at_pass)) +
                                                      " at stack location " + std::to_string(call->location) +
                                                      " but its dispatch routine returned " +
                                                      hex(static_cast<ULONG>(status)));
    }
    forget_call(track, serial);
    return;
  }
  if (!call->returned_pending) {
    report_fault(Fault::DispatchDidNotComplete,
                 describe_irp(irp) + " returned " + hex(static_cast<ULONG>(status)) +
                     " and is still pending at stack location " + std::to_string(call->location));
    call->reported = true;
  } else if (!marked(track, call->location) && !call->lower_pending) {
    report_fault(Fault::PendingNotMarked,
                 describe_irp(irp) + " at stack location " + std::to_string(call->location));
    call->reported = true;
  }
}

// A packet in the driver's own pool is the driver's to free; one the platform
// allocated goes back to the pool at once. Its record stays a while, so that a
// late call with it is reported by name.
void quarantine_locked(PIRP irp, IrpTrack& track) {
  track.freed = true;
  if (track.from_pool) {
    memset(static_cast<void*>(irp), kFreedFill, track.bytes);
  } else {
    pool_free(irp, PoolOwner::Platform);
  }
  auto& q = table().quarantine;
  q.push_back(irp);
  if (q.size() > kQuarantine) {
    PIRP oldest = q.front();
    q.pop_front();
    table().irps.erase(oldest);
  }
}

void maybe_release_locked(PIRP irp, IrpTrack& track) {
  if (track.release_wanted && !track.freed && track.call_depth == 0 && track.walks.empty()) {
    quarantine_locked(irp, track);
  }
}

// Freeing, reusing or reinitialising an IRP whose completion walk runs on another
// thread: a fault at once between routines, and once the routine returns unless it
// stops the walk (a routine that wakes the freeing thread and then returns
// STATUS_MORE_PROCESSING_REQUIRED hands the IRP over legally). Returns false when
// reported.
bool check_foreign_walks(PIRP irp, IrpTrack& track, const char* operation) {
  for (WalkEntry& entry : track.walks) {
    if (entry.thread == std::this_thread::get_id() || entry.handed_back) continue;
    if (entry.in_routine) {
      entry.touched_by_other = operation;
      continue;
    }
    report_fault(Fault::IrpFreedDuringCompletion, std::string(operation) + " on " + describe_irp(irp) +
                                                      " while its completion walk runs on another thread");
    return false;
  }
  return true;
}

void init_packet(PIRP irp, USHORT size, CCHAR stack_size) {
  memset(static_cast<void*>(irp), 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = size;
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
}

void clear_stack_location(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  memset(&stack->Parameters, 0, sizeof(stack->Parameters));
  stack->FileObject = nullptr;
  stack->CompletionRoutine = nullptr;
  stack->Context = nullptr;
}

bool should_invoke(PIRP irp, UCHAR control) {
  NTSTATUS status = irp->IoStatus.Status;
  return (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
         (irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
}

void set_in_routine(PIRP irp, uint64_t walk, bool in_routine) {
  std::lock_guard<std::mutex> lock(table().mutex);
  WalkEntry* entry = find_walk(table().irps[irp], walk);
  if (entry != nullptr) entry->in_routine = in_routine;
}

// Calls one completion routine. Returns false when the walk must stop here.
bool invoke_completion(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, uint64_t walk) {
  if (inject_cancel_now(0, irp)) IoCancelIrp(irp);
  PDEVICE_OBJECT device =
      irp->CurrentLocation == irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
  KIRQL before = current_irql();
  int attached = process_attach_depth();
  set_in_routine(irp, walk, true);
  t_routines++;
  NTSTATUS status = routine(device, irp, context);
  if (--t_routines == 0) t_nesting_reported = false;
  if (process_attach_depth() != attached) {
    report_fault(Fault::ProcessAttachUnbalanced, attach_report("completion routine", attached));
  }
  if (current_irql() != before) {
    report_fault(Fault::IrqlChangedByCall, "completion routine of " + describe_irp(irp) +
                                               " returned at IRQL " + std::to_string(current_irql()));
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack& track = table().irps[irp];
  WalkEntry* running = find_walk(track, walk);
  const char* touched = nullptr;
  if (running != nullptr) {
    running->in_routine = false;
    running->handed_back = status == STATUS_MORE_PROCESSING_REQUIRED;
    touched = std::exchange(running->touched_by_other, nullptr);
  }
  if (status == STATUS_MORE_PROCESSING_REQUIRED) return false;
  if (touched != nullptr) {
    report_fault(
        Fault::IrpFreedDuringCompletion,
        std::string(touched) + " on " + describe_irp(irp) +
            " from another thread while its completion routine ran, and the routine let the walk go on");
    return false;
  }
  if (track.freed) {
    report_fault(Fault::IrpUsedAfterFree, "completion routine freed an IRP and let its completion continue");
    return false;
  }
  WalkEntry* entry = find_walk(track, walk);
  if (entry != nullptr && (entry->completed_again || track.generation != entry->generation)) {
    report_fault(Fault::IrpCompletedTwice, "completion routine completed or re-sent " + describe_irp(irp) +
                                               " and did not return STATUS_MORE_PROCESSING_REQUIRED");
    return false;
  }
  return true;
}

void end_walk(PIRP irp, uint64_t walk, bool reached_top) {
  IrpFinisher finisher;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    IrpTrack& track = table().irps[irp];
    auto& walks = track.walks;
    for (auto it = walks.begin(); it != walks.end(); ++it) {
      if (it->id == walk) {
        walks.erase(it);
        break;
      }
    }
    if (reached_top && !track.freed) {
      track.completed = true;
      if (track.platform) finisher = track.finisher;
    }
    if (reached_top && !track.platform && !track.freed) {
      report_fault(Fault::DriverIrpCompletedToTop,
                   describe_irp(irp) + " ran past its last completion routine");
    }
  }
  if (finisher) finisher(irp);
  std::lock_guard<std::mutex> lock(table().mutex);
  maybe_release_locked(irp, table().irps[irp]);
}

// The walk from the current stack location back to the top.
void complete_walk(PIRP irp, uint64_t walk) {
  auto first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  PIO_STACK_LOCATION last = first + irp->StackCount;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  // Completed again at the top, after its creator's routine stopped the walk there.
  if (stack >= last) {
    end_walk(irp, walk, true);
    return;
  }
  IoSkipCurrentIrpStackLocation(irp);
  for (; stack < last; ++stack) {
    note_passed(irp, static_cast<int>(stack - first) + 1);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    UCHAR control = stack->Control;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    clear_stack_location(stack);
    if (routine != nullptr && should_invoke(irp, control)) {
      if (!invoke_completion(irp, routine, context, walk)) {
        end_walk(irp, walk, false);
        return;
      }
    } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
      IoMarkIrpPending(irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
  }
  end_walk(irp, walk, true);
}

}  // namespace

std::string describe_irp(PIRP irp) { return "IRP " + hex(reinterpret_cast<uintptr_t>(irp)); }

PIRP irp_allocate(CCHAR stack_size, bool injectable) {
  if (stack_size < 1) {
    report_fault(Fault::InvalidArgument,
                 "IRP allocated with " + std::to_string(stack_size) + " stack locations");
    return nullptr;
  }
  if (injectable && inject_fail_irp()) return nullptr;
  USHORT size = IoSizeOfIrp(stack_size);
  // From the guarded pool: once freed, its pages are inaccessible, and a routine
  // that reads it after another thread freed it faults.
  auto irp = static_cast<PIRP>(pool_alloc(size, PoolOwner::Platform, "IRP", 0));
  init_packet(irp, size, stack_size);
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack& track = table().irps[irp];
  track = IrpTrack{};
  track.bytes = size;
  return irp;
}

void irp_set_finisher(PIRP irp, IrpFinisher finisher) {
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack& track = table().irps[irp];
  track.platform = true;
  track.finisher = std::move(finisher);
}

void irp_release(PIRP irp) {
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack& track = table().irps[irp];
  track.release_wanted = true;
  maybe_release_locked(irp, track);
}

bool irp_is_completed(PIRP irp) {
  std::lock_guard<std::mutex> lock(table().mutex);
  return table().irps[irp].completed;
}

void irp_set_held_below(PIRP irp, bool held) {
  std::lock_guard<std::mutex> lock(table().mutex);
  table().irps[irp].held_below = held;
}

void irp_complete_from_below(PIRP irp) {
  irp_set_held_below(irp, false);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

namespace {
struct HeldMemory {
  std::mutex mutex;
  std::map<uintptr_t, std::pair<size_t, std::string>> blocks;
};
HeldMemory& held() {
  static HeldMemory* h = new HeldMemory();
  return *h;
}
}  // namespace

void held_memory_add(const void* p, size_t length, const std::string& what) {
  if (p == nullptr || length == 0) return;
  std::lock_guard<std::mutex> lock(held().mutex);
  held().blocks[reinterpret_cast<uintptr_t>(p)] = {length, what};
}

void held_memory_remove(const void* p) {
  std::lock_guard<std::mutex> lock(held().mutex);
  held().blocks.erase(reinterpret_cast<uintptr_t>(p));
}

bool held_memory_check(const void* p, size_t length, const char* operation) {
  auto start = reinterpret_cast<uintptr_t>(p);
  std::string what;
  {
    std::lock_guard<std::mutex> lock(held().mutex);
    for (auto& [at, block] : held().blocks) {
      if (at < start + length && start < at + block.first) {
        what = block.second;
        break;
      }
    }
  }
  if (what.empty()) return false;
  report_fault(Fault::BufferFreedUnderTransfer,
               std::string(operation) + " of " + hex(start) + ", " + what + " the bus still holds");
  return true;
}

void irp_check_leaks(const char* when) {
  std::vector<std::string> leaks;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    for (auto& [irp, track] : table().irps) {
      if (track.freed || track.from_pool) continue;
      if (!track.platform) {
        leaks.push_back(describe_irp(irp) + " allocated by the driver and never freed");
      } else if (!track.completed) {
        leaks.push_back(describe_irp(irp) + " sent by the platform and never completed");
      }
    }
  }
  for (auto& leak : leaks) report_fault(Fault::IrpLeak, std::string(when) + ": " + leak);
}

void irp_reset_tracking() {
  std::lock_guard<std::mutex> lock(table().mutex);
  for (auto& [irp, track] : table().irps) {
    if (!track.from_pool && !track.freed) pool_free(irp, PoolOwner::Platform);
  }
  table().irps.clear();
  table().quarantine.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  call_point("IoAllocateIrp", nullptr);
  irql_check("IoAllocateIrp");
  return irp_allocate(StackSize, true);
}

}  // extern "C"

namespace {

// A set cancel flag that the IRP's last completion did not honour is a cancel
// request the reinitialisation would drop.
void check_cancel_kept(PIRP irp, const char* operation) {
  if (irp->Cancel && irp->IoStatus.Status != STATUS_CANCELLED) {
    report_fault(Fault::CancelFlagLost, std::string(operation) + " on " + describe_irp(irp) +
                                            ", cancelled but completed with " +
                                            hex(static_cast<ULONG>(irp->IoStatus.Status)));
  }
}

// The first IoInitializeIrp of a packet in the driver's own pool registers it.
IrpTrack* track_pool_packet(PIRP irp, USHORT packet_size) {
  if (table().irps.count(irp) != 0 || !pool_contains(irp, packet_size)) return nullptr;
  IrpTrack& track = table().irps[irp];
  track = IrpTrack{};
  track.bytes = packet_size;
  track.from_pool = true;
  return &track;
}

// IoInitializeIrp's work; false when the packet must not be touched.
bool initialize_irp(PIRP irp, USHORT packet_size, CCHAR stack_size, const char* operation) {
  std::lock_guard<std::mutex> lock(table().mutex);
  bool initialize = std::strcmp(operation, "IoInitializeIrp") == 0;
  IrpTrack* track = initialize ? track_pool_packet(irp, packet_size) : nullptr;
  bool fresh = track != nullptr;
  if (track == nullptr) track = find_live(irp, operation);
  if (track == nullptr) return false;
  if (owned_below(irp, *track)) {
    report_fault(Fault::IrpSentWhileOwnedBelow, std::string(operation) + " on " + describe_irp(irp));
    return false;
  }
  if (!check_foreign_walks(irp, *track, operation)) return false;
  if (packet_size > track->bytes || IoSizeOfIrp(stack_size) > packet_size) {
    report_fault(Fault::InvalidArgument, std::string(operation) + " with a packet size of " +
                                             std::to_string(packet_size) + " on an IRP of " +
                                             std::to_string(track->bytes) + " bytes");
    return false;
  }
  if (initialize && !track->from_pool) {
    report_fault(Fault::IrpInitializedFromAllocator, "IoInitializeIrp on " + describe_irp(irp) +
                                                         ", which IoAllocateIrp made; IoReuseIrp reuses it");
  }
  if (!fresh) check_cancel_kept(irp, operation);
  init_packet(irp, packet_size, stack_size);
  track->completed = false;
  track->pending_marks = 0;
  track->calls.clear();
  return true;
}

}  // namespace

extern "C" {

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  call_point("IoInitializeIrp", Irp);
  irql_check("IoInitializeIrp");
  initialize_irp(Irp, PacketSize, StackSize, "IoInitializeIrp");
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  call_point("IoReuseIrp", Irp);
  irql_check("IoReuseIrp");
  USHORT size;
  CCHAR stack_size;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    IrpTrack* track = find_live(Irp, "IoReuseIrp");
    if (track == nullptr) return;
    size = static_cast<USHORT>(track->bytes);
    stack_size = Irp->StackCount;
  }
  if (initialize_irp(Irp, size, stack_size, "IoReuseIrp")) Irp->IoStatus.Status = Status;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  call_point("IoFreeIrp", Irp);
  irql_check("IoFreeIrp");
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().irps.find(Irp);
  if (it == table().irps.end()) {
    report_fault(Fault::InvalidArgument, "IoFreeIrp on unknown IRP");
    return;
  }
  IrpTrack& track = it->second;
  if (track.freed) {
    report_fault(Fault::IrpUsedAfterFree, "IoFreeIrp on " + describe_irp(Irp) + " freed before");
  } else if (track.held_below) {
    report_fault(Fault::IrpFreedWhileOwnedBelow, "IoFreeIrp on " + describe_irp(Irp));
  } else if (track.platform || track.from_pool) {
    report_fault(Fault::InvalidArgument,
                 "IoFreeIrp on " + describe_irp(Irp) + ", which " +
                     (track.platform ? "the I/O manager frees" : "lives in the driver's pool"));
  } else if (owned_below(Irp, track)) {
    report_fault(Fault::IrpFreedWhileOwnedBelow, "IoFreeIrp on " + describe_irp(Irp) +
                                                     ", held by the dispatch routine at stack location " +
                                                     std::to_string(Irp->CurrentLocation));
  } else if (check_foreign_walks(Irp, track, "IoFreeIrp")) {
    quarantine_locked(Irp, track);
  }
}

VOID NTAPI SimNoteIrpPending(PIRP Irp) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().irps.find(Irp);
  if (it != table().irps.end() && Irp->CurrentLocation > 0 && Irp->CurrentLocation < 64) {
    it->second.pending_marks |= uint64_t(1) << Irp->CurrentLocation;
  }
}

}  // extern "C"

namespace {

// A completion routine that sends a request which completes inside the call runs
// the next routine one level deeper on this thread's stack; Windows' kernel stack
// holds only a few such levels.
void check_nesting(PIRP irp) {
  int limit = g_nesting_limit.load();
  if (t_routines <= limit || t_nesting_reported) return;
  t_nesting_reported = true;
  report_fault(Fault::StackTooDeep,
               "IofCallDriver with " + describe_irp(irp) + " from " + std::to_string(t_routines) +
                   " completion routines nested on one thread (limit " + std::to_string(limit) + ")");
}

// Takes the next stack location for the call; a failure status when the IRP must
// not go.
NTSTATUS enter_call(PIRP irp, uint64_t* serial) {
  std::lock_guard<std::mutex> lock(table().mutex);
  IrpTrack* track = find_live(irp, "IofCallDriver");
  if (track == nullptr) return STATUS_INVALID_PARAMETER;
  if (track->held_below) {
    report_fault(Fault::IrpSentWhileOwnedBelow, "IofCallDriver with " + describe_irp(irp));
    return STATUS_INVALID_DEVICE_STATE;
  }
  if (irp->CurrentLocation <= 1) {
    report_fault(Fault::NoMoreStackLocations, "IofCallDriver with " + describe_irp(irp));
    return STATUS_INVALID_PARAMETER;
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  CHAR location = irp->CurrentLocation;
  // A mark the caller made before skipping its location stays; one left over
  // from an earlier use of the location went with its reinitialisation.
  if (location < 64) {
    uint64_t bit = uint64_t(1) << location;
    bool carried = (IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED) != 0;
    track->pending_marks = (track->pending_marks & ~bit) | (carried ? bit : 0);
  }
  *serial = ++track->next_serial;
  track->calls.push_back(CallRecord{*serial, location});
  track->call_depth++;
  track->generation++;
  track->completed = false;
  return STATUS_SUCCESS;
}

bool is_resend(PIRP irp) {
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().irps.find(irp);
  return it != table().irps.end() && it->second.walked && !it->second.freed;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  call_point("IofCallDriver", Irp);
  irql_check("IofCallDriver");
  // As the verifier does: a device object that is not one (freed, most likely,
  // after its removal) would be called through whatever its memory now holds.
  if (DeviceObject == nullptr || DeviceObject->Type != kIoTypeDevice) {
    report_fault(Fault::InvalidArgument, "IofCallDriver to an invalid device object " +
                                             hex(reinterpret_cast<uintptr_t>(DeviceObject)) + " with " +
                                             describe_irp(Irp));
    return STATUS_INVALID_DEVICE_STATE;
  }
  check_nesting(Irp);
  if (is_resend(Irp) && inject_cancel_now(1, Irp)) IoCancelIrp(Irp);
  uint64_t serial;
  NTSTATUS refused = enter_call(Irp, &serial);
  if (!NT_SUCCESS(refused)) return refused;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  KIRQL before = current_irql();
  int attached = process_attach_depth();
  t_calls++;
  NTSTATUS status = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction](DeviceObject, Irp);
  t_calls--;
  if (process_attach_depth() != attached) {
    report_fault(Fault::ProcessAttachUnbalanced, attach_report("dispatch routine", attached));
  }
  if (current_irql() != before) {
    report_fault(Fault::IrqlChangedByCall, "dispatch routine returned at IRQL " +
                                               std::to_string(current_irql()) + " instead of " +
                                               std::to_string(before));
  }
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    IrpTrack& track = table().irps[Irp];
    track.call_depth--;
    after_dispatch(Irp, track, serial, status);
    maybe_release_locked(Irp, track);
  }
  if (t_calls == 0) note_thread_yield(__builtin_frame_address(0));
  return status;
}

VOID NTAPI IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  call_point("IofCompleteRequest", Irp);
  irql_check("IofCompleteRequest");
  uint64_t walk;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    IrpTrack* track = find_live(Irp, "IofCompleteRequest");
    if (track == nullptr) return;
    if (track->held_below) {
      report_fault(Fault::IrpCompletedWhileOwnedBelow, "IofCompleteRequest on " + describe_irp(Irp));
      return;
    }
    // Only the platform's IRPs have anything to finish at the top; a driver's own
    // IRP completed there again is a second completion.
    if (track->completed || (Irp->CurrentLocation > Irp->StackCount && !track->platform)) {
      report_fault(Fault::IrpCompletedTwice, "IofCompleteRequest on " + describe_irp(Irp));
      return;
    }
    for (WalkEntry& active : track->walks) {
      if (active.generation == track->generation) active.completed_again = true;
    }
    walk = ++track->next_walk;
    track->walks.push_back(WalkEntry{walk, track->generation, std::this_thread::get_id()});
    track->walked = true;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    report_fault(Fault::IrpCompletedWithPending, describe_irp(Irp));
  }
  // The driver that owns the IRP may cancel it on another thread meanwhile, which
  // is legal while the IRP lives; IoCancelIrp exchanges the routine atomically.
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    report_fault(Fault::CompletedWithCancelRoutine, "IofCompleteRequest on " + describe_irp(Irp));
  }
  complete_walk(Irp, walk);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  irql_check("IoAcquireCancelSpinLock");
  *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancel_lock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancel_lock, Irql); }

// The cancel routine releases the cancel spin lock at the level IoCancelIrp was
// called at; one that returns holding it, or at another level, is reported and
// the lock and level are put right, wherever the cancel came from.
BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  call_point("IoCancelIrp", Irp);
  irql_check("IoCancelIrp");
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    if (find_live(Irp, "IoCancelIrp") == nullptr) return FALSE;
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  if (spin_lock_held_by_me(&g_cancel_lock)) {
    report_fault(Fault::CancelRoutineLeftLockHeld,
                 "cancel routine of " + describe_irp(Irp) + " returned holding the cancel spin lock");
    KeReleaseSpinLock(&g_cancel_lock, irql);
  } else if (current_irql() != irql) {
    report_fault(Fault::CancelRoutineLeftLockHeld, "cancel routine of " + describe_irp(Irp) +
                                                       " returned at IRQL " + std::to_string(current_irql()) +
                                                       " instead of " + std::to_string(irql));
    set_irql(irql);
  }
  return TRUE;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer,
                                         ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                         PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  call_point("IoBuildDeviceIoControlRequest", DeviceObject);
  irql_check("IoBuildDeviceIoControlRequest");
  if (METHOD_FROM_CTL_CODE(IoControlCode) != METHOD_NEITHER) {
    report_fault(Fault::Unimplemented, "IoBuildDeviceIoControlRequest with a buffered or direct code");
    return nullptr;
  }
  PIRP irp = irp_allocate(DeviceObject->StackSize, true);
  if (irp == nullptr) return nullptr;
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->UserBuffer = OutputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
  StackWatch watch = stack_watch_begin(Event, IoStatusBlock);
  // A threaded request: it goes with the thread that built it.
  thread_irp_add(irp);
  irp_set_finisher(irp, [watch](PIRP done) {
    thread_irp_remove(done);
    if (stack_watch_still_live(watch, describe_irp(done))) {
      if (done->UserIosb != nullptr) *done->UserIosb = done->IoStatus;
      if (done->UserEvent != nullptr) KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
    }
    irp_release(done);
  });
  return irp;
}

}  // extern "C"

namespace sim {

void set_completion_nesting_limit(int limit) {
  g_nesting_limit.store(limit > 0 ? limit : kDefaultNestingLimit);
}

}  // namespace sim
