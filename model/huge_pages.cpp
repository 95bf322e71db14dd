#include "model/huge_pages.h"

#include <sys/mman.h>

#include <cstdint>

#include "model/aux_predictors.h"
#include "model/estimators.h"
#include "model/word_followers.h"

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

void AdviseHugeTables() {
  static const bool advised = [] {
    AdviseHugePages(&tables, sizeof tables);
    AdviseHugePages(&aux, sizeof aux);
    AdviseHugePages(&wordFollowers, sizeof wordFollowers);
    return true;
  }();
  (void)advised;
}

}  // namespace zubreca
