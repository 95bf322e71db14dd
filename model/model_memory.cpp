#include "model/model_memory.h"

#include <cstdlib>

#include "model/huge_pages.h"
#include "model/page_prefaulter.h"

namespace zubreca {

bool MODEL_MEMORY::reserve(uint32_t megabytes) {
  // 32-bit arithmetic on purpose: 2048 MB is exactly 0x80000000 bytes.
  const uint32_t size = megabytes << 20;
  if (size != 0 && size == blockSize) return true;
  release();
  // A size of 0 (0 MB, or a count that wraps to 0) would give no usable
  // block; treat it like a failed allocation.
  if (size == 0) return false;
  // By default the block is freshly mapped on large pages (huge_pages.h).
  void* memory = allocateBlock != nullptr ? allocateBlock(size) : MapLargePages(size);
  if (memory == nullptr) return false;
  blockMapped = allocateBlock == nullptr;
  block = static_cast<uint8_t*>(memory);
  blockSize = size;
  pagePrefaulter.start(block, size);
  return true;
}

void MODEL_MEMORY::release() {
  if (blockSize == 0) return;
  pagePrefaulter.stop();
  if (blockMapped)
    UnmapLargePages(block, blockSize);
  else
    std::free(block);
  blockSize = 0;
  block = nullptr;
}

}  // namespace zubreca
