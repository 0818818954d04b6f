// MDLs and the views of the memory they describe. A system view of an
// application's locked pages, and a user view of driver pool, are second
// mappings of the same pages at a different address; a user view belongs to
// the process that was current when it was made. Each MDL carries its page
// array after the header, as on Windows; a partial MDL describes part of its
// source's pages and must not outlive the source.
//
// A user view is reachable only while its own process is current, as a user
// address means something only in its process's address space. The address handed
// out is mapped inaccessible: a driver touching it faults, and the fault handler
// lets the access go on when the thread runs in (or is attached to) the view's
// process, and reports it by name otherwise. A view opened so is closed again at
// the next point where a thread changes process, waits, or goes back to user mode.
// Applications reach their views through read_user_view and write_user_view, which
// check the process and use a mapping of the platform's own.
//
// Locking: the table's mutex guards every MDL's bookkeeping and the views. It is
// never held while a fault is raised as an exception (that leaves the frame). The
// fault handler takes it: nothing holding it touches a user view.
#include <signal.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>

#include <sim/app.h>

#include "internal.h"

namespace sim {
namespace {

constexpr size_t kPage = 4096;

struct View {
  Process* process;
  PMDL mdl;
  void* map_base;  // the mapping handed out, inaccessible unless open
  size_t map_length;
  void* reach;  // the platform's own mapping of the same pages, at the view's first byte
  void* reach_base;
  bool open = false;
};

struct MdlInfo {
  bool platform = false;
  void* backing = nullptr;  // where the described bytes really live
  void* system_view = nullptr;
  size_t system_view_length = 0;
  int user_views = 0;
  size_t size = 0;        // bytes allocated, header and page array
  PMDL source = nullptr;  // a partial MDL's source
  bool source_freed = false;
};

// System views the driver asked for without MdlMappingNoExecute.
std::atomic<long> g_executable_mappings{0};

// A first page number, so that a page array never holds zero for a real page.
constexpr PFN_NUMBER kFirstPfn = 0x1000;
// The longest buffer an MDL describes (4 GB less a page, as on current Windows).
constexpr uint64_t kMaxMdlLength = (uint64_t(1) << 32) - kPage;

struct MdlTable {
  std::mutex mutex;
  std::map<PMDL, MdlInfo> mdls;
  std::map<uintptr_t, View> views;                               // keyed by the address handed out
  std::map<uintptr_t, std::pair<size_t, Process*>> user_ranges;  // live requests' buffers
};

MdlTable& table() {
  static MdlTable* t = new MdlTable();
  return *t;
}

// Views opened by an access from their own process; closed at the next switch.
std::atomic<int> g_open_views{0};

void unmap_view(const View& view) {
  if (view.open) g_open_views--;
  munmap(view.map_base, view.map_length);
  size_t in_page = reinterpret_cast<uintptr_t>(view.reach) % kPage;
  munmap(view.reach_base, (in_page + view.mdl->ByteCount + kPage - 1) / kPage * kPage);
}

// The view whose mapping holds `address`; called locked.
View* view_holding(uintptr_t address) {
  for (auto& [start, view] : table().views) {
    auto base = reinterpret_cast<uintptr_t>(view.map_base);
    if (address >= base && address < base + view.map_length) return &view;
  }
  return nullptr;
}

struct sigaction g_previous_segv;

// A fault on a user view: the access goes on once the view is open; from another
// process it is reported first. Anything else goes to the handler that was there.
// The report is made inside the handler, on the faulting thread, while driver
// code (not the platform, nor the allocator) is what it interrupted.
void on_segv(int signal, siginfo_t* info, void* context) {
  int saved_errno = errno;
  std::string report;
  bool ours = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    View* view = view_holding(reinterpret_cast<uintptr_t>(info->si_addr));
    if (view != nullptr) {
      ours = true;
      if (!view->open) {
        mprotect(view->map_base, view->map_length, PROT_READ | PROT_WRITE);
        view->open = true;
        g_open_views++;
      }
      if (view->process != &current_process()) {
        report = "user address " + hex(reinterpret_cast<uintptr_t>(info->si_addr)) + " (a view of process " +
                 view->process->name() + ") touched while process " + current_process().name() +
                 " is current";
      }
    }
  }
  if (!report.empty()) report_fault(Fault::UserAddressFromOtherProcess, report);
  errno = saved_errno;
  if (ours) return;
  if ((g_previous_segv.sa_flags & SA_SIGINFO) && g_previous_segv.sa_sigaction != nullptr) {
    g_previous_segv.sa_sigaction(signal, info, context);
  } else if (g_previous_segv.sa_handler != SIG_DFL && g_previous_segv.sa_handler != SIG_IGN) {
    g_previous_segv.sa_handler(signal);
  } else {
    ::signal(SIGSEGV, SIG_DFL);  // the access faults again and ends the process as before
  }
}

void install_view_fault_handler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action {};
    action.sa_sigaction = on_segv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;  // where a sanitizer runs its own on an alternate stack
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &g_previous_segv);
  });
}

// The memory file and page number under [p, p + length): pool, or an
// application's locked pages.
bool backing_of(const void* p, size_t length, int* fd, uint64_t* page_offset, PFN_NUMBER* pfn) {
  if (pool_backing(p, length, fd, page_offset)) {
    *pfn = kFirstPfn + *page_offset / kPage;
    return true;
  }
  return locked_pages_backing(p, length, fd, page_offset, pfn);
}

// Maps the pages under [backing, backing + length) a second time.
void* map_alias(void* backing, size_t length, void** map_base, size_t* map_length,
                int protection = PROT_READ | PROT_WRITE) {
  int fd;
  uint64_t page_offset;
  PFN_NUMBER pfn;
  if (!backing_of(backing, length, &fd, &page_offset, &pfn)) return nullptr;
  size_t in_page = reinterpret_cast<uintptr_t>(backing) % kPage;
  size_t span = (in_page + length + kPage - 1) / kPage * kPage;
  if (span == 0) span = kPage;
  void* base = mmap(nullptr, span, protection, MAP_SHARED, fd, static_cast<off_t>(page_offset));
  if (base == MAP_FAILED) return nullptr;
  *map_base = base;
  *map_length = span;
  return static_cast<char*>(base) + in_page;
}

// Fills the page array of an MDL whose bytes live at `backing`.
void fill_pfns(PMDL mdl, const void* backing) {
  int fd;
  uint64_t offset;
  PFN_NUMBER first;
  if (!backing_of(backing, mdl->ByteCount, &fd, &offset, &first)) return;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  for (ULONG i = 0; i < pages; ++i) pfns[i] = first + i;
}

MdlInfo* find_mdl(PMDL mdl, const char* operation) {
  auto it = table().mdls.find(mdl);
  if (it == table().mdls.end()) {
    report_fault(Fault::InvalidArgument, std::string(operation) + " on an unknown MDL");
    return nullptr;
  }
  return &it->second;
}

PVOID map_for_kernel(PMDL mdl, MdlInfo& info) {
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    return mdl->MappedSystemVa;
  }
  if (inject_fail_system_mapping()) return nullptr;
  // The I/O manager's locked pages are its own pool block, already at a kernel
  // address: that address is the system view, with no second mapping to fault in.
  if (info.platform) {
    mdl->MappedSystemVa = info.backing;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return info.backing;
  }
  void* view = map_alias(info.backing, mdl->ByteCount, &info.system_view, &info.system_view_length);
  if (view == nullptr) return nullptr;
  mdl->MappedSystemVa = view;
  mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  return view;
}

// An application sees whole pages: a buffer that shares a page with other pool
// would show it the kernel memory beside it.
void check_user_view_alignment(PMDL mdl) {
  if (mdl->ByteOffset == 0 && (mdl->ByteOffset + mdl->ByteCount) % kPage == 0) return;
  report_fault(Fault::UserViewNotPageAligned,
               "MmMapLockedPagesSpecifyCache(UserMode) of " + std::to_string(mdl->ByteCount) + " bytes at " +
                   hex(reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(mdl))));
}

// Null when the mapping failed; *raise says the failure is an exception.
PVOID map_for_user(PMDL mdl, MdlInfo& info, bool* raise) {
  check_user_view_alignment(mdl);
  if (inject_fail_user_mapping()) {
    *raise = true;
    return nullptr;
  }
  install_view_fault_handler();
  View view{&current_process(), mdl, nullptr, 0, nullptr, nullptr};
  size_t reach_length = 0;
  view.reach = map_alias(info.backing, mdl->ByteCount, &view.reach_base, &reach_length);
  if (view.reach == nullptr) return nullptr;
  void* address = map_alias(info.backing, mdl->ByteCount, &view.map_base, &view.map_length, PROT_NONE);
  if (address == nullptr) {
    munmap(view.reach_base, reach_length);
    return nullptr;
  }
  info.user_views++;
  table().views[reinterpret_cast<uintptr_t>(address)] = view;
  return address;
}

}  // namespace

PMDL mdl_allocate(PVOID address, ULONG length, void* platform_backing) {
  if (length > kMaxMdlLength) return nullptr;
  size_t size = MmSizeOfMdl(address, length);
  auto mdl = static_cast<PMDL>(calloc(1, size));
  mdl->StartVa = PAGE_ALIGN(address);
  mdl->ByteOffset = BYTE_OFFSET(address);
  mdl->ByteCount = length;
  // The 16-bit Size cannot say how long an MDL of more than 8,000 or so pages is.
  mdl->Size = static_cast<CSHORT>(static_cast<USHORT>(std::min<size_t>(size, 0xFFFF)));
  MdlInfo info;
  info.size = size;
  if (platform_backing != nullptr) {
    info.platform = true;
    info.backing = platform_backing;
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    fill_pfns(mdl, platform_backing);
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  table().mdls[mdl] = info;
  return mdl;
}

void mdl_check_leaks(const char* when) {
  std::vector<std::pair<Fault, std::string>> leaks;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    for (auto& [address, view] : table().views) {
      leaks.push_back({Fault::ViewLeak, "user view " + hex(address) + " in process " + view.process->name()});
      unmap_view(view);
      auto owner = table().mdls.find(view.mdl);
      if (owner != table().mdls.end()) owner->second.user_views--;
    }
    table().views.clear();
    // The driver is gone: what it leaked is released so the next scenario starts clean.
    for (auto it = table().mdls.begin(); it != table().mdls.end();) {
      if (it->second.platform) {
        ++it;
        continue;
      }
      leaks.push_back({Fault::MdlLeak, "MDL of " + std::to_string(it->first->ByteCount) + " bytes"});
      if (it->second.system_view != nullptr) munmap(it->second.system_view, it->second.system_view_length);
      free(it->first);
      it = table().mdls.erase(it);
    }
  }
  for (auto& [fault, text] : leaks) report_fault(fault, std::string(when) + ": " + text);
}

int Process::views() const {
  std::lock_guard<std::mutex> lock(table().mutex);
  int n = 0;
  for (auto& [address, view] : table().views) n += view.process == this;
  return n;
}

// Called as a process ends: its views must be gone by then.
void process_check_views(Process* process) {
  std::vector<std::string> left;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    for (auto it = table().views.begin(); it != table().views.end();) {
      if (it->second.process != process) {
        ++it;
        continue;
      }
      left.push_back(hex(it->first));
      table().mdls[it->second.mdl].user_views--;
      unmap_view(it->second);
      it = table().views.erase(it);
    }
  }
  for (auto& view : left) {
    report_fault(Fault::ViewLeak, "process " + process->name() + " ended with user view " + view);
  }
}

void close_open_views() {
  if (g_open_views.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard<std::mutex> lock(table().mutex);
  for (auto& [address, view] : table().views) {
    if (!view.open) continue;
    mprotect(view.map_base, view.map_length, PROT_NONE);
    view.open = false;
    g_open_views--;
  }
}

namespace {

// Copies between an application's view and its own memory, through the
// platform's mapping, when the view is the current process's.
bool copy_user_view(const void* address, void* into, const void* from, size_t length) {
  auto start = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> lock(table().mutex);
  auto it = table().views.upper_bound(start);
  if (it == table().views.begin()) return false;
  --it;
  const View& view = it->second;
  if (start + length > it->first + view.mdl->ByteCount || view.process != &current_process()) return false;
  char* reach = static_cast<char*>(view.reach) + (start - it->first);
  memcpy(into != nullptr ? into : reach, into != nullptr ? reach : from, length);
  return true;
}

}  // namespace

bool read_user_view(const void* address, void* into, size_t length) {
  return copy_user_view(address, into, nullptr, length);
}

bool write_user_view(void* address, const void* from, size_t length) {
  return copy_user_view(address, nullptr, from, length);
}

long mdl_executable_mappings() { return g_executable_mappings.load(); }

void user_range_add(const void* p, size_t length, Process* process) {
  if (p == nullptr || length == 0) return;
  std::lock_guard<std::mutex> lock(table().mutex);
  table().user_ranges[reinterpret_cast<uintptr_t>(p)] = {length, process};
}

void user_range_remove(const void* p) {
  std::lock_guard<std::mutex> lock(table().mutex);
  table().user_ranges.erase(reinterpret_cast<uintptr_t>(p));
}

std::string user_range_of(const void* p, size_t length) {
  auto start = reinterpret_cast<uintptr_t>(p);
  length = std::max<size_t>(length, 1);
  std::lock_guard<std::mutex> lock(table().mutex);
  for (auto& [at, range] : table().user_ranges) {
    if (at < start + length && start < at + range.first) {
      return "the buffer " + hex(at) + " of process " + range.second->name();
    }
  }
  for (auto& [address, view] : table().views) {
    if (address < start + length && start < address + view.mdl->ByteCount) {
      return "the user view " + hex(address) + " of process " + view.process->name();
    }
  }
  return "";
}

std::string mdl_view_over(const void* p, size_t length) {
  auto start = reinterpret_cast<uintptr_t>(p);
  std::lock_guard<std::mutex> lock(table().mutex);
  for (auto& [address, view] : table().views) {
    auto it = table().mdls.find(view.mdl);
    if (it == table().mdls.end() || it->second.backing == nullptr) continue;
    auto shown = reinterpret_cast<uintptr_t>(it->second.backing);
    if (shown < start + length && start < shown + view.mdl->ByteCount) {
      return "the user view " + hex(address) + " in process " + view.process->name();
    }
  }
  return "";
}

}  // namespace sim

using namespace sim;

#if defined(__SANITIZE_THREAD__)
// The report is built inside the fault handler, which allocates; ThreadSanitizer
// would add a warning of its own to every report. What the handler interrupts is
// driver code touching a view, never the allocator.
extern "C" const char* __tsan_default_suppressions() { return "signal:on_segv\n"; }
#endif

namespace {

// Unmaps the views of an MDL being freed and marks its partial MDLs orphaned.
// Called with the table's mutex held.
void forget_mdl(PMDL mdl) {
  for (auto it = table().views.begin(); it != table().views.end();) {
    if (it->second.mdl != mdl) {
      ++it;
      continue;
    }
    unmap_view(it->second);
    it = table().views.erase(it);
  }
  for (auto& [other, info] : table().mdls) {
    if (info.source == mdl) info.source_freed = true;
  }
}

// A partial MDL whose source is gone describes pages nobody holds any more.
bool check_source_alive(const MdlInfo& info, const char* operation) {
  if (!info.source_freed) return true;
  report_fault(Fault::PartialMdlOutlivesSource,
               std::string(operation) + " on a partial MDL whose source was freed");
  return false;
}

// Maps under the table's lock; null with *raise set when a user mapping failed.
PVOID map_locked(PMDL mdl, KPROCESSOR_MODE mode, bool* raise) {
  std::lock_guard<std::mutex> lock(table().mutex);
  MdlInfo* info = find_mdl(mdl, "MmMapLockedPagesSpecifyCache");
  if (info == nullptr) return nullptr;
  if (info->backing == nullptr) {
    report_fault(Fault::InvalidArgument, "mapping an MDL whose pages were never locked or built");
    return nullptr;
  }
  if (!check_source_alive(*info, "MmMapLockedPagesSpecifyCache")) return nullptr;
  return mode == KernelMode ? map_for_kernel(mdl, *info) : map_for_user(mdl, *info, raise);
}

// Removes a partial MDL's own system view (MmPrepareMdlForReuse). Lock held.
bool unmap_system_view(PMDL mdl, PVOID address) {
  if (!(mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) || address != mdl->MappedSystemVa) return false;
  auto it = table().mdls.find(mdl);
  if (it == table().mdls.end() || it->second.system_view == nullptr) return false;
  munmap(it->second.system_view, it->second.system_view_length);
  it->second.system_view = nullptr;
  mdl->MappedSystemVa = nullptr;
  mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
  return true;
}

// Checks IoBuildPartialMdl's arguments; fills *length when it was 0. Lock held.
bool check_partial(PMDL source, const MdlInfo& from, const MdlInfo& to, PVOID address, ULONG* length) {
  auto start = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(source));
  auto at = reinterpret_cast<uintptr_t>(address);
  if (at >= start && *length == 0) *length = static_cast<ULONG>(start + source->ByteCount - at);
  if (from.backing == nullptr || at < start || at + *length > start + source->ByteCount || *length == 0) {
    report_fault(Fault::InvalidArgument, "IoBuildPartialMdl of a range outside its locked source");
    return false;
  }
  if (to.size < MmSizeOfMdl(address, *length)) {
    report_fault(Fault::PartialMdlTooSmall, "target MDL of " + std::to_string(to.size) + " bytes for " +
                                                std::to_string(*length) + " bytes at " + hex(at));
    return false;
  }
  if (to.system_view != nullptr) {
    report_fault(Fault::InvalidArgument,
                 "IoBuildPartialMdl over a partial MDL still mapped: MmPrepareMdlForReuse first");
    return false;
  }
  return check_source_alive(from, "IoBuildPartialMdl");
}

void build_partial(PMDL source, MdlInfo& from, PMDL target, MdlInfo& to, PVOID address, ULONG length) {
  size_t delta = static_cast<char*>(address) - static_cast<char*>(MmGetMdlVirtualAddress(source));
  size_t first_page = (static_cast<char*>(address) - static_cast<char*>(source->StartVa)) / kPage;
  const CSHORT kept = MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED;
  target->StartVa = PAGE_ALIGN(address);
  target->ByteOffset = BYTE_OFFSET(address);
  target->ByteCount = length;
  target->Process = source->Process;
  target->MdlFlags = static_cast<CSHORT>((source->MdlFlags & kept) | MDL_PARTIAL);
  target->MappedSystemVa = nullptr;
  if (target->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA)) {
    target->MappedSystemVa = static_cast<char*>(source->MappedSystemVa) + delta;  // shares the source's view
  }
  memcpy(MmGetMdlPfnArray(target), MmGetMdlPfnArray(source) + first_page,
         ADDRESS_AND_SIZE_TO_SPAN_PAGES(address, length) * sizeof(PFN_NUMBER));
  to.backing = static_cast<char*>(from.backing) + delta;
  to.source = source;
  to.source_freed = false;
}

}  // namespace

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  call_point("IoAllocateMdl", VirtualAddress);
  irql_check("IoAllocateMdl");
  if (inject_fail_mdl()) return nullptr;
  PMDL mdl = mdl_allocate(VirtualAddress, Length, nullptr);
  if (mdl != nullptr && Irp != nullptr && !SecondaryBuffer) Irp->MdlAddress = mdl;
  return mdl;
}

SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  call_point("IoFreeMdl", Mdl);
  irql_check("IoFreeMdl");
  held_memory_check(Mdl, sizeof(MDL), "IoFreeMdl");
  MdlInfo info;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    MdlInfo* found = find_mdl(Mdl, "IoFreeMdl");
    if (found == nullptr) return;
    info = *found;
    table().mdls.erase(Mdl);
    forget_mdl(Mdl);
  }
  check_source_alive(info, "IoFreeMdl");
  if (info.user_views > 0) {
    report_fault(Fault::MdlFreedWhileMapped, std::to_string(info.user_views) + " user view(s) left");
  }
  if (info.system_view != nullptr) munmap(info.system_view, info.system_view_length);
  free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  call_point("MmBuildMdlForNonPagedPool", MemoryDescriptorList);
  irql_check("MmBuildMdlForNonPagedPool");
  PVOID address = MmGetMdlVirtualAddress(MemoryDescriptorList);
  if (!pool_contains(address, MemoryDescriptorList->ByteCount)) {
    report_fault(Fault::MdlNotNonPagedPool,
                 "MmBuildMdlForNonPagedPool over " + hex(reinterpret_cast<uintptr_t>(address)));
    return;
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  MdlInfo* info = find_mdl(MemoryDescriptorList, "MmBuildMdlForNonPagedPool");
  if (info == nullptr) return;
  info->backing = address;
  fill_pfns(MemoryDescriptorList, address);
  MemoryDescriptorList->MappedSystemVa = address;
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  call_point("IoBuildPartialMdl", TargetMdl);
  std::lock_guard<std::mutex> lock(table().mutex);
  MdlInfo* from = find_mdl(SourceMdl, "IoBuildPartialMdl");
  MdlInfo* to = from != nullptr ? find_mdl(TargetMdl, "IoBuildPartialMdl") : nullptr;
  if (to == nullptr || !check_partial(SourceMdl, *from, *to, VirtualAddress, &Length)) return;
  build_partial(SourceMdl, *from, TargetMdl, *to, VirtualAddress, Length);
}

// A user mapping that fails raises an exception, as on Windows: the caller must
// be inside a guarded call. Nothing with a destructor is alive when it is raised.
PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  call_point("MmMapLockedPagesSpecifyCache", MemoryDescriptorList);
  irql_check(AccessMode == UserMode ? "MmMapLockedPagesSpecifyCache(UserMode)"
                                    : "MmMapLockedPagesSpecifyCache");
  if (AccessMode == KernelMode && !(Priority & MdlMappingNoExecute)) g_executable_mappings++;
  // The mapping raises when it fails: the handler must be there before it is needed.
  if (AccessMode == UserMode && !guarded_call_active()) {
    report_fault(Fault::UserMappingUnguarded, "MmMapLockedPagesSpecifyCache(UserMode) with no guarded call");
  }
  if (RequestedAddress != nullptr) {
    report_fault(Fault::Unimplemented, "MmMapLockedPagesSpecifyCache at a requested address");
    return nullptr;
  }
  bool raise = false;
  PVOID view = map_locked(MemoryDescriptorList, AccessMode, &raise);
  if (raise) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
  return view;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  call_point("MmUnmapLockedPages", MemoryDescriptorList);
  std::string fault_text;
  Fault fault = Fault::ViewUnknown;
  bool user_view = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    if (unmap_system_view(MemoryDescriptorList, BaseAddress)) return;
    auto it = table().views.find(reinterpret_cast<uintptr_t>(BaseAddress));
    if (it == table().views.end() || it->second.mdl != MemoryDescriptorList) {
      fault_text = "MmUnmapLockedPages(" + hex(reinterpret_cast<uintptr_t>(BaseAddress)) + ")";
    } else {
      user_view = true;
      if (it->second.process != &current_process()) {
        fault = Fault::ViewRemovedFromOtherProcess;
        fault_text = "view of process " + it->second.process->name() + " removed in process " +
                     current_process().name();
      }
      table().mdls[MemoryDescriptorList].user_views--;
      unmap_view(it->second);
      table().views.erase(it);
    }
  }
  irql_check(user_view ? "MmUnmapLockedPages(user view)" : "MmUnmapLockedPages");
  if (!fault_text.empty()) report_fault(fault, fault_text);
}

}  // extern "C"
