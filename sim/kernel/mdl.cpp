// MDLs and the views of the memory they describe. A system view of an
// application's locked pages, and a user view of driver pool, are second
// mappings of the same pages at a different address; a user view belongs to
// the process that was current when it was made.
#include <sys/mman.h>

#include <map>

#include <sim/app.h>

#include "internal.h"

namespace sim {
namespace {

constexpr size_t kPage = 4096;

struct View {
  Process* process;
  PMDL mdl;
  void* map_base;
  size_t map_length;
};

struct MdlInfo {
  bool platform = false;
  void* backing = nullptr;  // where the described bytes really live
  void* system_view = nullptr;
  size_t system_view_length = 0;
  int user_views = 0;
};

struct MdlTable {
  std::mutex mutex;
  std::map<PMDL, MdlInfo> mdls;
  std::map<uintptr_t, View> views;  // keyed by the address handed out
};

MdlTable& table() {
  static MdlTable* t = new MdlTable();
  return *t;
}

// Maps the pages under [backing, backing + length) a second time.
void* map_alias(void* backing, size_t length, void** map_base, size_t* map_length) {
  int fd;
  uint64_t page_offset;
  if (!pool_backing(backing, length, &fd, &page_offset)) return nullptr;
  size_t in_page = reinterpret_cast<uintptr_t>(backing) % kPage;
  size_t span = (in_page + length + kPage - 1) / kPage * kPage;
  if (span == 0) span = kPage;
  void* base = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(page_offset));
  if (base == MAP_FAILED) return nullptr;
  *map_base = base;
  *map_length = span;
  return static_cast<char*>(base) + in_page;
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
  return view;
}

PVOID map_for_user(PMDL mdl, MdlInfo& info) {
  if (inject_fail_user_mapping()) return nullptr;
  View view{&current_process(), mdl, nullptr, 0};
  void* address = map_alias(info.backing, mdl->ByteCount, &view.map_base, &view.map_length);
  if (address == nullptr) return nullptr;
  info.user_views++;
  table().views[reinterpret_cast<uintptr_t>(address)] = view;
  return address;
}

}  // namespace

PMDL mdl_allocate(PVOID address, ULONG length, void* platform_backing) {
  auto mdl = static_cast<PMDL>(calloc(1, sizeof(MDL)));
  auto va = reinterpret_cast<uintptr_t>(address);
  mdl->StartVa = reinterpret_cast<PVOID>(va / kPage * kPage);
  mdl->ByteOffset = static_cast<ULONG>(va % kPage);
  mdl->ByteCount = length;
  mdl->Size = static_cast<CSHORT>(sizeof(MDL) + ((mdl->ByteOffset + length + kPage - 1) / kPage) * 8);
  MdlInfo info;
  if (platform_backing != nullptr) {
    info.platform = true;
    info.backing = platform_backing;
    mdl->MdlFlags = MDL_PAGES_LOCKED;
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
      munmap(view.map_base, view.map_length);
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
      munmap(it->second.map_base, it->second.map_length);
      it = table().views.erase(it);
    }
  }
  for (auto& view : left) {
    report_fault(Fault::ViewLeak, "process " + process->name() + " ended with user view " + view);
  }
}

}  // namespace sim

using namespace sim;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                         PIRP Irp) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  irql_check("IoAllocateMdl");
  if (inject_fail_mdl()) return nullptr;
  PMDL mdl = mdl_allocate(VirtualAddress, Length, nullptr);
  if (Irp != nullptr && !SecondaryBuffer) Irp->MdlAddress = mdl;
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  irql_check("IoFreeMdl");
  MdlInfo info;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
    MdlInfo* found = find_mdl(Mdl, "IoFreeMdl");
    if (found == nullptr) return;
    info = *found;
    table().mdls.erase(Mdl);
    for (auto it = table().views.begin(); it != table().views.end();) {
      if (it->second.mdl != Mdl) {
        ++it;
        continue;
      }
      munmap(it->second.map_base, it->second.map_length);
      it = table().views.erase(it);
    }
  }
  if (info.user_views > 0) {
    report_fault(Fault::MdlFreedWhileMapped, std::to_string(info.user_views) + " user view(s) left");
  }
  if (info.system_view != nullptr) munmap(info.system_view, info.system_view_length);
  free(Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
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
  MemoryDescriptorList->MappedSystemVa = address;
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority) {
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  UNREFERENCED_PARAMETER(Priority);
  irql_check(AccessMode == UserMode ? "MmMapLockedPagesSpecifyCache(UserMode)"
                                    : "MmMapLockedPagesSpecifyCache");
  if (RequestedAddress != nullptr) {
    report_fault(Fault::Unimplemented, "MmMapLockedPagesSpecifyCache at a requested address");
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(table().mutex);
  MdlInfo* info = find_mdl(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache");
  if (info == nullptr) return nullptr;
  if (info->backing == nullptr) {
    report_fault(Fault::InvalidArgument, "mapping an MDL whose pages were never locked or built");
    return nullptr;
  }
  return AccessMode == KernelMode ? map_for_kernel(MemoryDescriptorList, *info)
                                  : map_for_user(MemoryDescriptorList, *info);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  std::string fault_text;
  Fault fault = Fault::ViewUnknown;
  bool user_view = false;
  {
    std::lock_guard<std::mutex> lock(table().mutex);
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
      munmap(it->second.map_base, it->second.map_length);
      table().views.erase(it);
    }
  }
  irql_check(user_view ? "MmUnmapLockedPages(user view)" : "MmUnmapLockedPages");
  if (!fault_text.empty()) report_fault(fault, fault_text);
}

}  // extern "C"
