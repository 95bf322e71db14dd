// The one block of memory that holds the whole context model.
//
// Inside the model every link is a 32-bit offset counted from the byte just
// before the block: offset 1 is the block's first byte and 0 means "none".
#pragma once

#include <cstddef>
#include <cstdint>

namespace zubreca {

struct MODEL_MEMORY {
  static inline uint32_t blockSize = 0;   // bytes; 0 while no block is held
  static inline uint8_t* block = nullptr;
  static inline bool blockMapped = false;  // mapped by default, not from the hook

  // Function that obtains the block; null means the default, fresh memory
  // on large pages. Tests put a failing or counting allocator here. Whatever
  // it returns is given back with free.
  static inline void* (*allocateBlock)(std::size_t bytes) = nullptr;

  // Reserves megabytes * 2^20 bytes; keeps the block when the size is
  // unchanged. Returns false (and holds no block) when the allocation fails.
  static bool reserve(uint32_t megabytes);
  static void release();
};

// Address of the byte at a model offset (offset >= 1).
inline uint8_t* ModelAddress(uint32_t offset) { return MODEL_MEMORY::block + (offset - 1); }

template <class T>
inline T* ModelRecord(uint32_t offset) {
  return reinterpret_cast<T*>(ModelAddress(offset));
}

}  // namespace zubreca
