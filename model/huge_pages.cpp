#include "model/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

namespace zubreca {

void AdviseHugePages(void* start, std::size_t bytes) {
#ifdef MADV_HUGEPAGE
  const uintptr_t from = reinterpret_cast<uintptr_t>(start);
  const uintptr_t a = (from + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  const uintptr_t b = (from + bytes) & ~(kHugePageBytes - 1);
  if (b > a) madvise(reinterpret_cast<void*>(a), b - a, MADV_HUGEPAGE);
#else
  (void)start;
  (void)bytes;
#endif
}

void* MapLargePages(std::size_t bytes) {
  // Map a large page more than asked and trim both ends to the boundary.
  const std::size_t span = bytes + kHugePageBytes;
  void* mapped = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t from = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t start = (from + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (start > from) munmap(mapped, start - from);
  const uintptr_t end = start + bytes;
  if (from + span > end) munmap(reinterpret_cast<void*>(end), from + span - end);
  AdviseHugePages(reinterpret_cast<void*>(start), bytes);
  return reinterpret_cast<void*>(start);
}

void UnmapLargePages(void* start, std::size_t bytes) { munmap(start, bytes); }

}  // namespace zubreca
