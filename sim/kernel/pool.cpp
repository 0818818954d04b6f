// Non-paged pool as a special pool. Every block gets pages of its own in one
// shared-memory arena, followed by an inaccessible page. A block smaller than a
// page ends 16 guard bytes (after its slack up to 16) before that page; a block of
// a page or more starts on a page, as on Windows, and guard bytes fill the rest of
// its last page (none when its size is a multiple of the page, where a write past
// the end faults at once on the inaccessible page). Overwritten guard bytes are
// found when the block is freed, and freed pages become inaccessible. Because the arena is a
// memory file, the pages of any block can be mapped a second time at another
// address: that is how user views of driver memory alias the kernel's.
#include <sys/mman.h>
#include <unistd.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <unordered_set>
#include <vector>

#include <sim/kernel.h>

#include "internal.h"

#ifdef SIM_ASAN
#define SIM_POISON(p, n) __asan_poison_memory_region((p), (n))
#define SIM_UNPOISON(p, n) __asan_unpoison_memory_region((p), (n))
#else
#define SIM_POISON(p, n) ((void)(p), (void)(n))
#define SIM_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kArenaSize = size_t(64) << 30;
constexpr size_t kGuardBytes = 16;
constexpr unsigned char kGuardFill = 0xFD;
constexpr unsigned char kFreshFill = 0xCD;
constexpr size_t kFreedMemory = 1 << 16;
constexpr size_t kKeptBlocks = 4;
// Freed pages are inaccessible at once; their memory goes back in batches of about
// this many pages, neighbours in one call.
constexpr size_t kPunchBatchPages = 256;

struct Block {
  size_t region;  // offset of the first page in the arena
  size_t pages;   // accessible pages (the guard page follows)
  size_t size;
  size_t tail;  // guard bytes after the block
  PoolOwner owner;
  const char* file;
  int line;
  uint64_t serial;
};

struct Arena {
  std::mutex mutex;
  int fd = -1;
  unsigned char* base = nullptr;
  size_t next = 0;
  uint64_t serial = 0;
  std::map<uintptr_t, Block> live;  // keyed by the block's address
  std::unordered_set<uintptr_t> freed;
  std::deque<uintptr_t> freed_order;
  std::deque<std::pair<uintptr_t, Block>> kept;      // platform blocks kept for reuse, oldest first
  std::vector<std::pair<size_t, size_t>> unpunched;  // freed regions still holding memory: offset, pages
  size_t unpunched_pages = 0;
};

Arena& arena() {
  static Arena* a = [] {
    auto* created = new Arena();
    created->fd = memfd_create("sim-pool", MFD_CLOEXEC);
    if (created->fd < 0 || ftruncate(created->fd, kArenaSize) != 0) {
      std::perror("sim pool arena");
      std::abort();
    }
    void* base = mmap(nullptr, kArenaSize, PROT_NONE, MAP_SHARED | MAP_NORESERVE, created->fd, 0);
    if (base == MAP_FAILED) {
      std::perror("sim pool arena mmap");
      std::abort();
    }
    created->base = static_cast<unsigned char*>(base);
    return created;
  }();
  return *a;
}

size_t round_up(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

std::string site(const Block& b) { return std::string(b.file ? b.file : "?") + ":" + std::to_string(b.line); }

// The block's tail: slack up to the 16-byte boundary plus the guard bytes.
unsigned char* tail_of(uintptr_t address, const Block& b) {
  return reinterpret_cast<unsigned char*>(address) + b.size;
}
size_t tail_length(const Block& b) { return b.tail; }

bool tail_intact(uintptr_t address, const Block& b) {
  const unsigned char* tail = tail_of(address, b);
  for (size_t i = 0; i < tail_length(b); ++i) {
    if (tail[i] != kGuardFill) return false;
  }
  return true;
}

void remember_freed(Arena& a, uintptr_t address) {
  a.freed.insert(address);
  a.freed_order.push_back(address);
  if (a.freed_order.size() > kFreedMemory) {
    a.freed.erase(a.freed_order.front());
    a.freed_order.pop_front();
  }
}

// Gives the memory of the freed regions back to the system. Regions next to each
// other (only a never-touched guard page between them) go in one call. Called locked.
void punch_freed(Arena& a) {
  std::sort(a.unpunched.begin(), a.unpunched.end());
  for (size_t i = 0; i < a.unpunched.size();) {
    size_t start = a.unpunched[i].first;
    size_t end = start + (a.unpunched[i].second + 1) * kPage;
    for (++i; i < a.unpunched.size() && a.unpunched[i].first == end; ++i) {
      end += (a.unpunched[i].second + 1) * kPage;
    }
    fallocate(a.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(start),
              static_cast<off_t>(end - start));
  }
  a.unpunched.clear();
  a.unpunched_pages = 0;
}

// A freed block's pages: inaccessible at once, their memory given back with the
// next batch. Called locked.
void release_pages(Arena& a, const Block& b) {
  unsigned char* start = a.base + b.region;
  SIM_UNPOISON(start, b.pages * kPage);
  mprotect(start, b.pages * kPage, PROT_NONE);
  a.unpunched.emplace_back(b.region, b.pages);
  a.unpunched_pages += b.pages;
  if (a.unpunched_pages >= kPunchBatchPages) punch_freed(a);
}

}  // namespace

void* pool_alloc(size_t size, PoolOwner owner, const char* file, int line) {
  Arena& a = arena();
  bool large = size >= kPage;
  size_t body = large ? size : round_up(size, 16) + kGuardBytes;
  size_t pages = std::max<size_t>(round_up(body, kPage) / kPage, 1);
  std::lock_guard<std::mutex> lock(a.mutex);
  if (a.next + (pages + 1) * kPage > kArenaSize) {
    std::fprintf(stderr, "sim pool arena exhausted\n");
    std::abort();
  }
  size_t region = a.next;
  a.next += (pages + 1) * kPage;
  unsigned char* start = a.base + region;
  if (mprotect(start, pages * kPage, PROT_READ | PROT_WRITE) != 0) {
    std::perror("sim pool mprotect");
    std::abort();
  }
  unsigned char* block = large ? start : start + pages * kPage - body;
  size_t tail = large ? pages * kPage - size : body - size;
  Block b{region, pages, size, tail, owner, file, line, ++a.serial};
  memset(block, kFreshFill, size);
  memset(block + size, kGuardFill, tail_length(b));
  SIM_POISON(start, static_cast<size_t>(block - start));
  SIM_POISON(block + size, tail_length(b));
  a.live.emplace(reinterpret_cast<uintptr_t>(block), b);
  return block;
}

void pool_free(void* p, PoolOwner expected, bool keep_pages) {
  Arena& a = arena();
  auto address = reinterpret_cast<uintptr_t>(p);
  Block b{};
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    auto it = a.live.find(address);
    if (it == a.live.end() || it->second.owner != expected) {
      bool twice = a.freed.count(address) != 0;
      report_fault(twice ? Fault::PoolFreedTwice : Fault::PoolNotFromPool,
                   "ExFreePool(" + hex(address) + ")");
      return;
    }
    b = it->second;
    a.live.erase(it);
    remember_freed(a, address);
  }
  SIM_UNPOISON(tail_of(address, b), tail_length(b));
  if (!tail_intact(address, b)) {
    report_fault(Fault::PoolOverrun, "block of " + std::to_string(b.size) + " bytes allocated at " + site(b) +
                                         " was written past its end");
  }
  if (keep_pages) return;
  std::lock_guard<std::mutex> lock(a.mutex);
  release_pages(a, b);
}

size_t pool_block_size(const void* p) {
  Arena& a = arena();
  std::lock_guard<std::mutex> lock(a.mutex);
  auto it = a.live.find(reinterpret_cast<uintptr_t>(p));
  return it == a.live.end() ? 0 : it->second.size;
}

// A platform block freed as far as anyone can tell (out of the live table, its pages
// inaccessible), whose pages stay populated for a later block of the same size.
void pool_keep(void* p) {
  Arena& a = arena();
  auto address = reinterpret_cast<uintptr_t>(p);
  Block b{};
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    auto it = a.live.find(address);
    if (it == a.live.end() || it->second.owner != PoolOwner::Platform) {
      report_fault(Fault::PoolNotFromPool, "pool_keep(" + hex(address) + ")");
      return;
    }
    b = it->second;
    a.live.erase(it);
  }
  SIM_UNPOISON(tail_of(address, b), tail_length(b));
  if (!tail_intact(address, b)) {
    report_fault(Fault::PoolOverrun, "block of " + std::to_string(b.size) + " bytes allocated at " + site(b) +
                                         " was written past its end");
  }
  unsigned char* start = a.base + b.region;
  SIM_POISON(start, b.pages * kPage);
  mprotect(start, b.pages * kPage, PROT_NONE);
  std::lock_guard<std::mutex> lock(a.mutex);
  a.kept.emplace_back(address, b);
  if (a.kept.size() > kKeptBlocks) {
    release_pages(a, a.kept.front().second);
    a.kept.pop_front();
  }
}

void* pool_take_kept(size_t size, const char* file, int line) {
  Arena& a = arena();
  std::lock_guard<std::mutex> lock(a.mutex);
  for (auto it = a.kept.begin(); it != a.kept.end(); ++it) {
    if (it->second.size != size) continue;
    auto [address, b] = *it;
    a.kept.erase(it);
    unsigned char* start = a.base + b.region;
    if (mprotect(start, b.pages * kPage, PROT_READ | PROT_WRITE) != 0) {
      std::perror("sim pool mprotect");
      std::abort();
    }
    SIM_UNPOISON(reinterpret_cast<void*>(address), size);
    b.file = file;
    b.line = line;
    b.serial = ++a.serial;
    a.live.emplace(address, b);
    return reinterpret_cast<void*>(address);
  }
  return nullptr;
}

bool pool_contains(const void* p, size_t length) {
  Arena& a = arena();
  auto address = reinterpret_cast<uintptr_t>(p);
  std::lock_guard<std::mutex> lock(a.mutex);
  auto it = a.live.upper_bound(address);
  if (it == a.live.begin()) return false;
  --it;
  return address >= it->first && address + length <= it->first + it->second.size;
}

bool pool_backing(const void* p, size_t length, int* fd, uint64_t* page_offset) {
  Arena& a = arena();
  auto address = reinterpret_cast<const unsigned char*>(p);
  if (address < a.base || address + length > a.base + kArenaSize) return false;
  *fd = a.fd;
  *page_offset = static_cast<uint64_t>(address - a.base) / kPage * kPage;
  return true;
}

// Between scenarios, once nothing of the last one is left in the pool, the arena
// starts over from its first page: its memory goes back to the system and its
// addresses serve the next scenario, so that a long run of scenarios (a fuzzer's)
// neither exhausts the arena nor keeps growing AddressSanitizer's shadow of it.
// Within a scenario addresses are never reused. Blocks still live keep theirs, and
// the arena goes on after them.
void pool_reset() {
  Arena& a = arena();
  std::lock_guard<std::mutex> lock(a.mutex);
  if (!a.live.empty()) return;
  for (auto& kept : a.kept) release_pages(a, kept.second);
  a.kept.clear();
  punch_freed(a);
  a.freed.clear();
  a.freed_order.clear();
  a.next = 0;
}

void pool_check_leaks(const char* when) {
  Arena& a = arena();
  std::vector<std::string> leaks;
  {
    std::lock_guard<std::mutex> lock(a.mutex);
    for (auto it = a.live.begin(); it != a.live.end();) {
      if (it->second.owner != PoolOwner::Driver) {
        ++it;
        continue;
      }
      leaks.push_back(std::to_string(it->second.size) + " bytes allocated at " + site(it->second));
      release_pages(a, it->second);
      it = a.live.erase(it);
    }
  }
  for (auto& leak : leaks) report_fault(Fault::PoolLeak, std::string(when) + ": " + leak);
}

namespace {
std::atomic<long> g_untagged{0};
std::atomic<long> g_executable{0};
}  // namespace

PoolHabits driver_pool_habits() {
  return {g_untagged.load(), g_executable.load(), mdl_executable_mappings()};
}

}  // namespace sim

using namespace sim;

extern "C" {

static PVOID allocate_driver_pool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char* File, int Line) {
  irql_check("ExAllocatePool");
  if (PoolType != NonPagedPool && PoolType != NonPagedPoolNx) {
    report_fault(Fault::Unimplemented, "ExAllocatePool of a pool type other than non-paged");
  }
  if (current_irql() > DISPATCH_LEVEL) {
    report_fault(Fault::InvalidArgument, "ExAllocatePool above DISPATCH_LEVEL");
  }
  if (inject_fail_pool()) return nullptr;
  if (PoolType == NonPagedPool) g_executable++;
  return pool_alloc(NumberOfBytes, PoolOwner::Driver, File, Line);
}

PVOID NTAPI SimExAllocatePoolAt(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const char* File, int Line) {
  call_point("SimExAllocatePoolAt", nullptr);
  g_untagged++;
  return allocate_driver_pool(PoolType, NumberOfBytes, File, Line);
}

// A tag of zero names nobody in a pool dump; Windows refuses it under the verifier.
PVOID NTAPI SimExAllocatePoolWithTagAt(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const char* File,
                                       int Line) {
  call_point("SimExAllocatePoolWithTagAt", nullptr);
  if (Tag == 0) report_fault(Fault::InvalidArgument, "ExAllocatePoolWithTag with a tag of zero");
  return allocate_driver_pool(PoolType, NumberOfBytes, File, Line);
}

// Memory that another context still uses is reported before it goes: a user view
// would show whatever the pages hold next, a waiter would wake on freed memory and
// the bus would complete into it. The pages of the last two are left in place, so
// that the platform goes on instead of crashing inside the wait or the completion.
VOID NTAPI ExFreePool(PVOID P) {
  call_point("ExFreePool", P);
  irql_check("ExFreePool");
  size_t size = pool_block_size(P);
  bool keep = false;
  if (size > 0) {
    std::string view = mdl_view_over(P, size);
    if (!view.empty()) {
      report_fault(Fault::PoolFreedUnderView, "ExFreePool of " + std::to_string(size) + " bytes at " +
                                                  hex(reinterpret_cast<uintptr_t>(P)) + " that " + view +
                                                  " still shows");
    }
    keep = held_memory_check(P, size, "ExFreePool");
    if (event_waited_in(P, size)) {
      keep = true;
      report_fault(Fault::EventFreedWhileWaited, "ExFreePool of " + std::to_string(size) + " bytes at " +
                                                     hex(reinterpret_cast<uintptr_t>(P)) +
                                                     " holding an event a thread waits on");
    }
  }
  pool_free(P, PoolOwner::Driver, keep);
}

}  // extern "C"
