// The growable byte buffer that carries every piece of data between the
// driver, the tricks and the coder.
//
// A buffer is written by appending and then, after flip(), read from its
// first byte. Both phases share one cursor and one count, `avail`, that
// counts down: free bytes while writing, unread bytes while reading. The
// single-byte operations are inline and cost one decrement, one sign test
// and one memory access; everything rare (growth) is out of line.
//
// Storage layout: 4 leading guard bytes, `length` content bytes (data()
// points at the first one), 4 trailing guard bytes. The guards give code
// that looks one or two bytes before the first byte, or scans past the last
// one, defined values to read.
//
// Buffers link into chains through `next`. A buffer owns its storage and the
// rest of its chain: deleting the head deletes every buffer behind it.
//
// Exhausted memory is fatal ("out of memory") everywhere a buffer
// allocates: the sized constructor, grow, flip, reset and file loading.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zubreca {

// How the coder's text features read the bytes of a buffer: as plain text
// (letters are ASCII letters; bytes outside printable ASCII and the line
// ends count against its being text), or as text whose words the wiki
// trick has replaced by codes (every byte from 64 up belongs to a word,
// and every byte is text).
enum class TEXT_ALPHABET : uint8_t { kPlain, kWordCodes };

class DATA_BUFFER {
 public:
  // A buffer in the writing phase with room for `size` bytes; sizes below 8
  // have 8 added to them.
  DATA_BUFFER(int size, int maxOrder, DATA_BUFFER* next = nullptr);
  // A buffer in the reading phase holding the whole of `file` from its
  // start (see buffers/file_loading.cpp). A null file gives an empty buffer
  // without storage.
  DATA_BUFFER(FILE* file, int maxOrder);
  ~DATA_BUFFER();

  DATA_BUFFER(const DATA_BUFFER&) = delete;
  DATA_BUFFER& operator=(const DATA_BUFFER&) = delete;

  // Appends one byte; returns it as 0..255.
  int putByte(int b) {
    if (--avail < 0) return grow(b);
    *cursor++ = static_cast<uint8_t>(b);
    return b & 0xFF;
  }

  // Reads the next byte as 0..255, or -1 past the end. A failed read still
  // counts `avail` down and leaves the cursor where it is.
  int getByte() {
    if (--avail < 0) return -1;
    return *cursor++;
  }

  // Called by putByte when the buffer is full: extends the capacity by the
  // current capacity, at most 32 MiB at a time, and stores `b`.
  int grow(int b);

  // Copies n bytes in or out at the cursor; -1 (and no change) when fewer
  // than n bytes are free or unread. writeBlock never grows the buffer.
  int writeBlock(const void* src, int n);
  int readBlock(void* dst, int n);

  // Big-endian 32-bit value: most significant byte first.
  int putU32(uint32_t v);
  uint32_t getU32();

  // A non-negative value as a run of `escape` bytes, each worth
  // escape - base, and one final byte base + rest.
  int putCounted(int value, int base, int escape);
  int getCounted(int base, int escape);

  void setGuards(uint8_t lead, uint8_t trail);

  // Ends the writing phase: the content becomes the bytes written, the
  // slack is given back and the cursor returns to the first byte.
  int flip();

  // Drops the content and starts writing afresh with capacity `size`.
  void reset(int size);

  uint8_t* data() const { return storage ? storage + kGuard : nullptr; }

  static constexpr int kGuard = 4;
  static constexpr int kGrowthCap = 33554432;  // 32 MiB

  int32_t modelNumber;  // stored model that primes the coder, 0 for none
  int32_t maxOrder;     // highest model order the coder may use
  int32_t length;       // capacity while writing, content length after flip
  int32_t avail;        // free bytes while writing, unread bytes while reading
  uint8_t* storage;     // length + 8 bytes from malloc
  uint8_t* cursor;      // next byte to write or read
  DATA_BUFFER* next;    // rest of the chain
  TEXT_ALPHABET alphabet = TEXT_ALPHABET::kPlain;  // how the coder reads text in this buffer

 private:
  void allocate(int size);
  void clearGuards();
};

static_assert(sizeof(DATA_BUFFER) == 48, "DATA_BUFFER is 48 bytes of plain data");

// Puts the chain `tail` behind the last buffer of the chain `head`; returns
// the head of the joined chain (`tail` when `head` is null).
DATA_BUFFER* AppendChain(DATA_BUFFER* tail, DATA_BUFFER* head);

// `newBuf` takes the place of `old` in its chain and is flipped; `old` is
// deleted on its own. Returns `newBuf`.
DATA_BUFFER* ReplaceBuffer(DATA_BUFFER* newBuf, DATA_BUFFER* old);

// The chain `buffers` (flipped already; null for none) takes the place of
// the one buffer `old` in its chain; `old` is deleted on its own. Returns
// the new head: `buffers`, or what followed `old`.
DATA_BUFFER* ReplaceByChain(DATA_BUFFER* buffers, DATA_BUFFER* old);

// Deletes the head of a chain on its own and returns the rest.
DATA_BUFFER* PopBuffer(DATA_BUFFER* head);

}  // namespace zubreca
