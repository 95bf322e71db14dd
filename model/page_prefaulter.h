// Faults in the pages of the model block just ahead of the unit pool's two
// edges, and once the pages of the coder's large static tables, on a second
// thread.
//
// The pool takes fresh memory from both ends of the block as the tree grows,
// and the first write to each page costs a page fault in which the kernel
// clears it. On a machine with a second core that work can be done before
// the coder gets there: the pool reports its edges whenever one of them
// crosses a mebibyte, and the helper populates the next few mebibytes beyond
// each. Populating never changes the contents of memory, so racing with the
// coder is harmless; it only moves page faults off the coding thread.
//
// The static tables (estimators, auxiliary predictors, match model: some 70
// MB of zeroed storage) would otherwise be faulted in by the coder's first
// writes to them, scattered over the first bytes it codes. Between its
// rounds for the edges the helper populates them too, a chunk at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace zubreca {

class PAGE_PREFAULTER {
 public:
  static constexpr uint32_t kAhead = 8u << 20;    // bytes kept ready beyond each edge
  static constexpr uint32_t kReportShift = 20;    // edges are reported per mebibyte

  // Starts serving a new block (stopping the previous helper first).
  void start(uint8_t* block, uint32_t size);
  // Stops the helper and waits for it; the block may then be freed.
  void stop();

  // Called by the pool with its edges as block offsets (1-based, as model
  // offsets are). Cheap unless the helper has to be woken.
  void report(uint32_t lowEdge, uint32_t highEdge) {
    lowMark.store(lowEdge, std::memory_order_relaxed);
    highMark.store(highEdge, std::memory_order_relaxed);
    generation.fetch_add(1, std::memory_order_release);
    generation.notify_one();
  }

  // One round of the helper's work, done synchronously: populates up to
  // kAhead bytes beyond each edge that are not populated yet. Returns false
  // when the kernel cannot populate (the helper then gives up).
  bool populateAhead(uint32_t lowEdge, uint32_t highEdge);

  // Has the helper populate [start, start + bytes) once, after the edges
  // it is serving. For regions that live as long as the process; called
  // from the coding thread, at most kMaxRegions times in all.
  void addRegion(void* start, std::size_t bytes);
  // Populates the next chunk of the regions not populated yet; false when
  // there was none (or the kernel cannot populate).
  bool populateNextChunk();

  ~PAGE_PREFAULTER() { stop(); }

 private:
  void run(std::stop_token stopToken);

  uint8_t* block = nullptr;
  uint32_t size = 0;
  uint32_t readyLow = 0;    // bytes [0, readyLow) are populated
  uint32_t readyHigh = 0;   // bytes [readyHigh, size) are populated
  std::atomic<uint32_t> lowMark{0};
  std::atomic<uint32_t> highMark{0};
  std::atomic<uint32_t> generation{0};

  static constexpr int kMaxRegions = 8;
  static constexpr std::size_t kChunk = std::size_t{2} << 20;
  struct REGION {
    uint8_t* start;
    std::size_t bytes;
  };
  REGION regions[kMaxRegions] = {};
  std::atomic<int> regionCount{0};
  // How far the regions are populated; kept from one helper to the next.
  int regionsDone = 0;
  std::size_t doneInRegion = 0;

  std::jthread helper;
};

extern PAGE_PREFAULTER pagePrefaulter;

}  // namespace zubreca
