// An application's pages locked for a direct request, as MmProbeAndLockPages
// locks them: the request's MDL describes the application's own pages and their
// system view maps those same pages, so what a driver writes lands in the
// application's buffer as it is written, and nothing is copied.
//
// Application memory here is private memory, which cannot be mapped twice. The
// first time a buffer's whole pages are locked, their bytes move into a memory
// file mapped over them at the same address (an extent); a second mapping of that
// file is the system view. They stay there, so a buffer used again costs nothing
// but a check. A page the buffer only shares (its first or last, partly outside
// it) cannot move while the rest of it may be in use: it is held in a page of the
// file beside the extent's, the buffer's bytes copied in before the request and
// back after it.
//
// The application may free a buffer and get other memory at the same address, so
// an extent is checked before it is used again (a byte changed through the system
// view must show at the application's address) and dropped when it no longer
// holds the application's pages. Dropping one removes only the system view: the
// application's own mapping keeps its pages. At most kExtents are kept, the least
// recently used dropped first. Only private, writable, anonymous memory moves
// (heap and mapped memory, not a file's pages or the main stack); any other buffer
// is not locked this way and the caller copies it.
//
// Locking: one mutex guards the extents. It is held while an extent is checked,
// made or dropped, never while a request runs.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "internal.h"

namespace sim {
namespace {

constexpr uintptr_t kPage = 4096;
constexpr size_t kExtents = 16;
constexpr uintptr_t kCheckStride = 64;  // pages
// Page numbers of extents lie above the pool's: each extent takes a span of them.
constexpr PFN_NUMBER kFirstExtentPfn = PFN_NUMBER{1} << 32;
constexpr PFN_NUMBER kExtentPfnSpan = PFN_NUMBER{1} << 20;
constexpr const char* kFileName = "sim-locked-pages";

uintptr_t page_floor(uintptr_t a) { return a & ~(kPage - 1); }
uintptr_t page_ceil(uintptr_t a) { return page_floor(a + kPage - 1); }

// The file holds pages + 2 slots: slot 0 the page before the extent's first,
// slots 1..pages the application's pages, slot pages + 1 the page after its last.
struct Extent {
  uintptr_t first;  // application address of slot 1
  size_t pages;
  int fd;
  uint8_t* view;   // the system view of every slot
  PFN_NUMBER pfn;  // of slot 0
  int users = 0;   // requests holding it locked
  bool edge_busy[2] = {false, false};
  uint64_t used = 0;

  uintptr_t end() const { return first + pages * kPage; }
  size_t view_length() const { return (pages + 2) * kPage; }
  // The slot that holds the application's page at `page`, or -1.
  long slot(uintptr_t page) const {
    if (page >= first && page < end()) return static_cast<long>(1 + (page - first) / kPage);
    if (page + kPage == first) return 0;
    if (page == end()) return static_cast<long>(pages + 1);
    return -1;
  }
};

struct Extents {
  std::mutex mutex;
  std::vector<std::unique_ptr<Extent>> list;
  uint64_t clock = 0;
  PFN_NUMBER next_pfn = kFirstExtentPfn;
};

Extents& extents() {
  static Extents* e = new Extents();
  return *e;
}

// Whether the application's page still is the extent's: a byte changed through
// the system view shows at the application's address. `at` lies in the buffer.
__attribute__((no_sanitize("address", "thread"))) bool still_mapped(const Extent& x, uintptr_t at) {
  auto* user = reinterpret_cast<volatile uint8_t*>(at);
  auto* view = reinterpret_cast<volatile uint8_t*>(x.view + (at - x.first) + kPage);
  uint8_t was = *view;
  if (*user != was) return false;
  *view = static_cast<uint8_t>(was ^ 0xA5);
  bool same = *user == static_cast<uint8_t>(was ^ 0xA5);
  *view = was;
  return same;
}

// Checks the pages the request [a, e) has in the extent: its first and last, and
// one in every kCheckStride between. Memory given back goes as a whole mapping, so
// that finds any reuse of the address; only a mapping made over part of a buffer
// the application still uses could slip between the pages checked.
bool extent_intact(const Extent& x, uintptr_t a, uintptr_t e) {
  uintptr_t from = std::max(page_floor(a), x.first), to = std::min(page_ceil(e), x.end());
  if (from >= to) return true;
  for (uintptr_t page = from; page < to; page += kCheckStride * kPage) {
    if (!still_mapped(x, std::max(page, a))) return false;
  }
  return still_mapped(x, std::max(to - kPage, a));
}

void drop(Extents& all, size_t index) {
  Extent& x = *all.list[index];
  munmap(x.view, x.view_length());
  close(x.fd);
  all.list.erase(all.list.begin() + static_cast<long>(index));
}

// Whether [from, to) lies in private, writable, anonymous mappings (or in files
// of earlier extents), from the process's map.
bool movable(uintptr_t from, uintptr_t to) {
  FILE* maps = std::fopen("/proc/self/maps", "re");
  if (maps == nullptr) return false;
  char line[512];
  uintptr_t covered = from;
  while (covered < to && std::fgets(line, sizeof(line), maps) != nullptr) {
    unsigned long start = 0, end = 0, inode = 0;
    char perms[8] = {}, path[256] = {};
    if (std::sscanf(line, "%lx-%lx %7s %*s %*s %lu %255[^\n]", &start, &end, perms, &inode, path) < 4)
      continue;
    if (end <= covered) continue;
    if (start > covered) break;
    const char* name = path + strspn(path, " ");
    bool anonymous =
        inode == 0 && (name[0] == '\0' || strcmp(name, "[heap]") == 0 || strncmp(name, "[anon:", 6) == 0);
    bool ours = strstr(name, kFileName) != nullptr && perms[3] == 's';
    if (perms[0] != 'r' || perms[1] != 'w' || !((anonymous && perms[3] == 'p') || ours)) break;
    covered = end;
  }
  std::fclose(maps);
  return covered >= to;
}

// Moves the application's pages [first, first + pages) into a new extent.
std::unique_ptr<Extent> make_extent(Extents& all, uintptr_t first, size_t pages) {
  if (!movable(first, first + pages * kPage)) return nullptr;
  auto x = std::make_unique<Extent>();
  x->first = first;
  x->pages = pages;
  x->fd = memfd_create(kFileName, MFD_CLOEXEC);
  if (x->fd < 0) return nullptr;
  void* view = MAP_FAILED;
  if (ftruncate(x->fd, static_cast<off_t>(x->view_length())) == 0) {
    view = mmap(nullptr, x->view_length(), PROT_READ | PROT_WRITE, MAP_SHARED, x->fd, 0);
  }
  if (view == MAP_FAILED) {
    close(x->fd);
    return nullptr;
  }
  x->view = static_cast<uint8_t*>(view);
  memcpy(x->view + kPage, reinterpret_cast<void*>(first), pages * kPage);
  if (mmap(reinterpret_cast<void*>(first), pages * kPage, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
           x->fd, static_cast<off_t>(kPage)) == MAP_FAILED) {
    std::perror("sim locked pages");  // the application's pages are as they were
    munmap(x->view, x->view_length());
    close(x->fd);
    return nullptr;
  }
  x->pfn = all.next_pfn;
  all.next_pfn += kExtentPfnSpan;
  return x;
}

// An extent that holds the request's pages, made if none does; null when the
// buffer cannot be locked this way. Called locked.
Extent* extent_for(Extents& all, uintptr_t a, uintptr_t e) {
  uintptr_t head = page_floor(a), last = page_floor(e - 1);
  uintptr_t first = page_ceil(a), end = std::max(page_floor(e), first);
  for (size_t i = 0; i < all.list.size(); ++i) {
    Extent& x = *all.list[i];
    bool fits =
        x.slot(head) >= 0 && x.slot(last) >= 0 && (end == first || (first >= x.first && end <= x.end()));
    if (!fits) continue;
    if (x.users > 0 || extent_intact(x, a, e)) return &x;
    drop(all, i);
    break;
  }
  // A buffer with no whole page of its own is copied by the caller.
  if (end == first) return nullptr;
  // The whole pages move again, to one file; extents that held some of them go.
  for (size_t i = all.list.size(); i-- > 0;) {
    const Extent& x = *all.list[i];
    if (x.first >= end || first >= x.end()) continue;
    if (x.users > 0) return nullptr;
    drop(all, i);
  }
  std::unique_ptr<Extent> made = make_extent(all, first, (end - first) / kPage);
  if (made == nullptr) return nullptr;
  while (all.list.size() >= kExtents) {
    auto oldest = std::min_element(all.list.begin(), all.list.end(), [](const auto& l, const auto& r) {
      return (l->users > 0) < (r->users > 0) || ((l->users > 0) == (r->users > 0) && l->used < r->used);
    });
    if ((*oldest)->users > 0) break;
    drop(all, static_cast<size_t>(oldest - all.list.begin()));
  }
  all.list.push_back(std::move(made));
  return all.list.back().get();
}

}  // namespace

bool lock_user_pages(void* buffer, size_t length, LockedPages* locked) {
  if (buffer == nullptr || length == 0) return false;
  auto a = reinterpret_cast<uintptr_t>(buffer);
  uintptr_t e = a + length, head = page_floor(a), last = page_floor(e - 1);
  Extents& all = extents();
  Extent* x;
  {
    std::lock_guard<std::mutex> lock(all.mutex);
    x = extent_for(all, a, e);
    if (x == nullptr) return false;
    long head_slot = x->slot(head), last_slot = x->slot(last);
    bool head_edge = head_slot == 0, tail_edge = last_slot == static_cast<long>(x->pages + 1);
    if ((head_edge && x->edge_busy[0]) || (tail_edge && x->edge_busy[1])) return false;
    x->edge_busy[0] |= head_edge;
    x->edge_busy[1] |= tail_edge;
    x->users++;
    x->used = ++all.clock;
    *locked =
        LockedPages{buffer,    length,   x->view + head_slot * kPage + (a - head), x->pfn + head_slot, x,
                    head_edge, tail_edge};
  }
  // The pages beside the extent hold the buffer's bytes in them for the request.
  if (locked->head_edge) memcpy(locked->system, buffer, std::min<uintptr_t>(e, head + kPage) - a);
  uintptr_t tail = std::max(a, last);
  if (locked->tail_edge) memcpy(locked->system + (tail - a), reinterpret_cast<void*>(tail), e - tail);
  return true;
}

void unlock_user_pages(const LockedPages& locked) {
  auto a = reinterpret_cast<uintptr_t>(locked.buffer);
  uintptr_t e = a + locked.length, head = page_floor(a), tail = std::max(a, page_floor(e - 1));
  if (locked.head_edge) memcpy(locked.buffer, locked.system, std::min<uintptr_t>(e, head + kPage) - a);
  if (locked.tail_edge) memcpy(reinterpret_cast<void*>(tail), locked.system + (tail - a), e - tail);
  std::lock_guard<std::mutex> lock(extents().mutex);
  auto* x = static_cast<Extent*>(locked.extent);
  x->users--;
  if (locked.head_edge) x->edge_busy[0] = false;
  if (locked.tail_edge) x->edge_busy[1] = false;
}

bool locked_pages_backing(const void* p, size_t length, int* fd, uint64_t* page_offset, PFN_NUMBER* pfn) {
  auto at = reinterpret_cast<const uint8_t*>(p);
  std::lock_guard<std::mutex> lock(extents().mutex);
  for (auto& x : extents().list) {
    if (at < x->view || at + length > x->view + x->view_length()) continue;
    *fd = x->fd;
    *page_offset = static_cast<uint64_t>(at - x->view) / kPage * kPage;
    *pfn = x->pfn + *page_offset / kPage;
    return true;
  }
  return false;
}

}  // namespace sim
