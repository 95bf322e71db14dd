#include "buffers/data_buffer.h"

#include <cstdlib>
#include <cstring>

#include "driver/console.h"

namespace zubreca {

namespace {

// Total bytes of storage for a content area of `size` bytes, or 0 when the
// size cannot be held (negative, or past the signed 32-bit design limit).
size_t StorageBytes(int64_t size) {
  if (size < 0 || size > INT32_MAX - 2 * DATA_BUFFER::kGuard) return 0;
  return static_cast<size_t>(size) + 2 * DATA_BUFFER::kGuard;
}

}  // namespace

void DATA_BUFFER::allocate(int size) {
  const size_t bytes = StorageBytes(size);
  storage = bytes ? static_cast<uint8_t*>(malloc(bytes)) : nullptr;
  if (!storage) ReportError("out of memory");
  length = avail = size;
  cursor = storage + kGuard;
  clearGuards();
}

void DATA_BUFFER::clearGuards() { setGuards(0, 0); }

DATA_BUFFER::DATA_BUFFER(int size, int maxOrder_, DATA_BUFFER* next_)
    : modelNumber(0), maxOrder(maxOrder_), length(0), avail(0), storage(nullptr), cursor(nullptr), next(next_) {
  if (size < 8) size += 8;
  allocate(size);
}

DATA_BUFFER::~DATA_BUFFER() {
  // Unlink the rest of the chain one buffer at a time, so that a long chain
  // never turns into deep recursion.
  DATA_BUFFER* rest = next;
  next = nullptr;
  while (rest) {
    DATA_BUFFER* following = rest->next;
    rest->next = nullptr;
    delete rest;
    rest = following;
  }
  free(storage);
}

int DATA_BUFFER::grow(int b) {
  if (!storage) {
    // A buffer loaded from no file has no storage yet; writing to it starts
    // from an empty content area.
    allocate(0);
    --avail;
  }
  const int32_t extra = length < kGrowthCap ? length : kGrowthCap;
  // A buffer reset to size 0 has nothing to double; give it the minimum
  // capacity of a fresh buffer instead of growing by nothing.
  const int32_t step = extra > 0 ? extra : 8;
  const size_t bytes = StorageBytes(static_cast<int64_t>(length) + step);
  if (!bytes) ReportError("out of memory");
  uint8_t trail[kGuard];
  memcpy(trail, storage + kGuard + length, kGuard);
  uint8_t* grown = static_cast<uint8_t*>(realloc(storage, bytes));
  if (!grown) ReportError("out of memory");
  storage = grown;
  uint8_t* content = storage + kGuard;
  memcpy(content + length + step, trail, kGuard);
  content[length] = static_cast<uint8_t>(b);
  cursor = content + length + 1;
  avail += step;
  length += step;
  return b & 0xFF;
}

int DATA_BUFFER::writeBlock(const void* src, int n) {
  if (n < 0 || n > avail) return -1;
  if (n > 0) memcpy(cursor, src, static_cast<size_t>(n));
  cursor += n;
  avail -= n;
  return n;
}

int DATA_BUFFER::readBlock(void* dst, int n) {
  if (n < 0 || n > avail) return -1;
  if (n > 0) memcpy(dst, cursor, static_cast<size_t>(n));
  cursor += n;
  avail -= n;
  return n;
}

int DATA_BUFFER::putU32(uint32_t v) {
  putByte(static_cast<int>(v >> 24));
  putByte(static_cast<int>(v >> 16));
  putByte(static_cast<int>(v >> 8));
  return putByte(static_cast<int>(v));
}

uint32_t DATA_BUFFER::getU32() {
  // A missing byte counts as -1 in the sum; unsigned arithmetic keeps the
  // wrap-around of that sum defined.
  const uint32_t b0 = static_cast<uint32_t>(getByte());
  const uint32_t b1 = static_cast<uint32_t>(getByte());
  const uint32_t b2 = static_cast<uint32_t>(getByte());
  const uint32_t b3 = static_cast<uint32_t>(getByte());
  return (b0 << 24) + (b1 << 16) + (b2 << 8) + b3;
}

int DATA_BUFFER::putCounted(int value, int base, int escape) {
  const int step = escape - base;
  while (step > 0 && value >= step) {
    putByte(escape);
    value -= step;
  }
  return putByte(base + value);
}

int DATA_BUFFER::getCounted(int base, int escape) {
  int sum = 0;
  for (;;) {
    const int b = getByte();
    if (b < 0) return -1;
    sum += b - base;
    if (b != escape) return sum;
  }
}

void DATA_BUFFER::setGuards(uint8_t lead, uint8_t trail) {
  if (!storage) return;
  memset(storage, lead, kGuard);
  memset(storage + kGuard + length, trail, kGuard);
}

int DATA_BUFFER::flip() {
  if (avail > 0) length -= avail;
  avail = length;
  if (storage) {
    uint8_t* shrunk = static_cast<uint8_t*>(realloc(storage, StorageBytes(length)));
    if (!shrunk) ReportError("out of memory");
    storage = shrunk;
    cursor = storage + kGuard;
    clearGuards();
  }
  return length;
}

void DATA_BUFFER::reset(int size) {
  free(storage);
  storage = nullptr;
  allocate(size);
}

DATA_BUFFER* AppendChain(DATA_BUFFER* tail, DATA_BUFFER* head) {
  if (!head) return tail;
  DATA_BUFFER* last = head;
  while (last->next) last = last->next;
  last->next = tail;
  return head;
}

DATA_BUFFER* ReplaceBuffer(DATA_BUFFER* newBuf, DATA_BUFFER* old) {
  newBuf->next = old->next;
  old->next = nullptr;
  newBuf->flip();
  delete old;
  return newBuf;
}

DATA_BUFFER* ReplaceByChain(DATA_BUFFER* buffers, DATA_BUFFER* old) {
  DATA_BUFFER* rest = PopBuffer(old);
  return buffers ? AppendChain(rest, buffers) : rest;
}

DATA_BUFFER* PopBuffer(DATA_BUFFER* head) {
  DATA_BUFFER* rest = head->next;
  head->next = nullptr;
  delete head;
  return rest;
}

}  // namespace zubreca
