#include "model/page_prefaulter.h"

#include <sys/mman.h>

#include <algorithm>
#include <system_error>

namespace zubreca {

PAGE_PREFAULTER pagePrefaulter;

namespace {

constexpr uintptr_t kPage = 4096;

// Populates the whole pages inside [from, to) for writing.
bool Populate(uint8_t* from, uint8_t* to) {
#ifdef MADV_POPULATE_WRITE
  const uintptr_t a = (reinterpret_cast<uintptr_t>(from) + kPage - 1) & ~(kPage - 1);
  const uintptr_t b = reinterpret_cast<uintptr_t>(to) & ~(kPage - 1);
  if (b <= a) return true;
  return madvise(reinterpret_cast<void*>(a), b - a, MADV_POPULATE_WRITE) == 0;
#else
  (void)from;
  (void)to;
  return false;
#endif
}

}  // namespace

void PAGE_PREFAULTER::start(uint8_t* newBlock, uint32_t newSize) {
  stop();
  block = newBlock;
  size = newSize;
  readyLow = 0;
  readyHigh = newSize;
  lowMark.store(0, std::memory_order_relaxed);
  highMark.store(newSize, std::memory_order_relaxed);
  // Without a second core the helper would only take turns with the coder.
  if (std::thread::hardware_concurrency() < 2) return;
  try {
    helper = std::jthread([this](std::stop_token stopToken) { run(stopToken); });
  } catch (const std::system_error&) {
    // No thread to be had: the coder simply takes its own page faults.
  }
}

void PAGE_PREFAULTER::stop() {
  if (!helper.joinable()) return;
  helper.request_stop();
  generation.fetch_add(1, std::memory_order_release);
  generation.notify_one();
  helper.join();
}

bool PAGE_PREFAULTER::populateAhead(uint32_t lowEdge, uint32_t highEdge) {
  // Model offsets count from 1; byte offsets from 0.
  const uint32_t low = lowEdge > 0 ? lowEdge - 1 : 0;
  const uint32_t high = std::min(highEdge > 0 ? highEdge - 1 : 0, size);
  if (low >= high) return true;
  const uint32_t lowTarget = std::min(high, low + std::min(kAhead, high - low));
  if (readyLow < lowTarget) {
    const uint32_t from = std::max(readyLow, low);
    if (!Populate(block + from, block + lowTarget)) return false;
    readyLow = lowTarget;
  }
  const uint32_t highTarget = std::max(lowTarget, high - std::min(kAhead, high - low));
  if (readyHigh > highTarget) {
    const uint32_t to = std::min(readyHigh, high);
    if (!Populate(block + highTarget, block + to)) return false;
    readyHigh = highTarget;
  }
  return true;
}

void PAGE_PREFAULTER::addRegion(void* start, std::size_t bytes) {
  const int count = regionCount.load(std::memory_order_relaxed);
  if (count == kMaxRegions) return;
  regions[count] = REGION{static_cast<uint8_t*>(start), bytes};
  regionCount.store(count + 1, std::memory_order_release);
  generation.fetch_add(1, std::memory_order_release);
  generation.notify_one();
}

bool PAGE_PREFAULTER::populateNextChunk() {
  const int count = regionCount.load(std::memory_order_acquire);
  for (; regionsDone < count; ++regionsDone, doneInRegion = 0) {
    const REGION& region = regions[regionsDone];
    if (doneInRegion == region.bytes) continue;
    const std::size_t chunk = std::min(kChunk, region.bytes - doneInRegion);
    uint8_t* const from = region.start + doneInRegion;
    doneInRegion += chunk;
    if (Populate(from, from + chunk)) return true;
    regionsDone = kMaxRegions;  // the kernel cannot: leave them to the coder
    return false;
  }
  return false;
}

void PAGE_PREFAULTER::run(std::stop_token stopToken) {
  uint32_t seen = generation.load(std::memory_order_acquire);
  while (!stopToken.stop_requested()) {
    if (!populateAhead(lowMark.load(std::memory_order_relaxed), highMark.load(std::memory_order_relaxed)))
      return;
    // The edges come first: between chunks of the regions they are
    // looked at again.
    if (populateNextChunk()) continue;
    generation.wait(seen, std::memory_order_acquire);
    seen = generation.load(std::memory_order_acquire);
  }
}

}  // namespace zubreca
