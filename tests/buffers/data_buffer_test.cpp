// Unit tests of DATA_BUFFER: construction, growth, the two phases, the
// multi-byte forms, guards and chains.
#include "buffers/data_buffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <vector>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

std::vector<int> ReadAll(DATA_BUFFER& buffer) {
  std::vector<int> bytes;
  for (int b; (b = buffer.getByte()) >= 0;) bytes.push_back(b);
  return bytes;
}

TEST(DataBufferLayout, IsFortyEightBytesOfFieldsInDeclarationOrder) {
  EXPECT_EQ(sizeof(DATA_BUFFER), 48u);
  EXPECT_EQ(offsetof(DATA_BUFFER, modelNumber), 0u);
  EXPECT_EQ(offsetof(DATA_BUFFER, maxOrder), 4u);
  EXPECT_EQ(offsetof(DATA_BUFFER, length), 8u);
  EXPECT_EQ(offsetof(DATA_BUFFER, avail), 12u);
  EXPECT_EQ(offsetof(DATA_BUFFER, storage), 16u);
  EXPECT_EQ(offsetof(DATA_BUFFER, cursor), 24u);
  EXPECT_EQ(offsetof(DATA_BUFFER, next), 32u);
  EXPECT_EQ(offsetof(DATA_BUFFER, alphabet), 40u);
}

TEST(DataBufferConstruction, SmallSizesGetEightAdded) {
  struct Case {
    int size;
    int capacity;
  };
  for (const Case c : {Case{0, 8}, Case{1, 9}, Case{7, 15}, Case{8, 8}, Case{9, 9}, Case{1024, 1024}}) {
    DATA_BUFFER buffer(c.size, 17, nullptr);
    EXPECT_EQ(buffer.length, c.capacity) << "size " << c.size;
    EXPECT_EQ(buffer.avail, c.capacity) << "size " << c.size;
    EXPECT_EQ(buffer.modelNumber, 0);
    EXPECT_EQ(buffer.maxOrder, 17);
    EXPECT_EQ(buffer.next, nullptr);
    EXPECT_EQ(buffer.data(), buffer.storage + 4);
    EXPECT_EQ(buffer.cursor, buffer.data());
  }
}

TEST(DataBufferConstruction, KeepsTheGivenSuccessor) {
  DATA_BUFFER* second = new DATA_BUFFER(16, 2, nullptr);
  DATA_BUFFER first(16, 2, second);
  EXPECT_EQ(first.next, second);
}

TEST(DataBufferGuards, ReadZeroAfterConstructionAndAfterFlip) {
  DATA_BUFFER buffer(16, 128, nullptr);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(buffer.storage[i], 0) << i;
    EXPECT_EQ(buffer.data()[16 + i], 0) << i;
  }
  buffer.setGuards(0xAB, 0xCD);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(buffer.storage[i], 0xAB) << i;
    EXPECT_EQ(buffer.data()[16 + i], 0xCD) << i;
  }
  for (int b : {0x11, 0x22, 0x33}) buffer.putByte(b);
  EXPECT_EQ(buffer.flip(), 3);
  EXPECT_EQ(buffer.data()[-1], 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(buffer.storage[i], 0) << i;
    EXPECT_EQ(buffer.data()[3 + i], 0) << i;
  }
}

TEST(DataBufferGuards, TrailingGuardMovesWithGrowth) {
  DATA_BUFFER buffer(8, 128, nullptr);
  buffer.setGuards(0x5A, 0xA5);
  for (int i = 0; i < 9; ++i) buffer.putByte(i);
  ASSERT_EQ(buffer.length, 16);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(buffer.storage[i], 0x5A) << i;
    EXPECT_EQ(buffer.data()[16 + i], 0xA5) << i;
  }
}

TEST(DataBufferBytes, RoundTripAcrossGrowth) {
  DATA_BUFFER buffer(1024, 128, nullptr);
  std::vector<int> written;
  for (int i = 0; i < 1024; ++i) {
    const int b = (i * 37 + 11) & 0xFF;
    EXPECT_EQ(buffer.putByte(b), b);
    written.push_back(b);
  }
  EXPECT_EQ(buffer.length, 1024);
  EXPECT_EQ(buffer.avail, 0);
  EXPECT_EQ(buffer.putByte(0x1FE), 0xFE);  // only the low 8 bits are kept
  written.push_back(0xFE);
  EXPECT_EQ(buffer.length, 2048);
  EXPECT_EQ(buffer.avail, 1023);
  EXPECT_EQ(buffer.cursor, buffer.data() + 1025);
  EXPECT_EQ(buffer.flip(), 1025);
  EXPECT_EQ(buffer.length, 1025);
  EXPECT_EQ(buffer.avail, 1025);
  EXPECT_EQ(ReadAll(buffer), written);
  EXPECT_EQ(buffer.avail, -1);
}

TEST(DataBufferBytes, FailedReadsKeepCountingDown) {
  DATA_BUFFER buffer(8, 128, nullptr);
  buffer.putByte(200);
  buffer.flip();
  EXPECT_EQ(buffer.getByte(), 200);
  uint8_t* const end = buffer.cursor;
  EXPECT_EQ(buffer.getByte(), -1);
  EXPECT_EQ(buffer.avail, -1);
  EXPECT_EQ(buffer.getByte(), -1);
  EXPECT_EQ(buffer.getByte(), -1);
  EXPECT_EQ(buffer.avail, -3);
  EXPECT_EQ(buffer.cursor, end);
}

TEST(DataBufferBytes, FlipOfNothingGivesEmptyContent) {
  DATA_BUFFER buffer(100, 128, nullptr);
  EXPECT_EQ(buffer.flip(), 0);
  EXPECT_EQ(buffer.length, 0);
  EXPECT_EQ(buffer.getByte(), -1);
  EXPECT_EQ(buffer.data()[-1], 0);
  EXPECT_EQ(buffer.data()[0], 0);  // the trailing guard
}

TEST(DataBufferGrowth, DoublesBelowThirtyTwoMebibytes) {
  DATA_BUFFER buffer(8, 128, nullptr);
  std::vector<int> capacities;
  for (int i = 0; i < 100; ++i) {
    buffer.putByte(i);
    if (capacities.empty() || capacities.back() != buffer.length) capacities.push_back(buffer.length);
  }
  EXPECT_EQ(capacities, (std::vector<int>{8, 16, 32, 64, 128}));
}

TEST(DataBufferGrowth, StepsByThirtyTwoMebibytesAbove) {
  const int size = 41943040;  // 40 MiB
  DATA_BUFFER buffer(size, 128, nullptr);
  std::vector<uint8_t> block(size);
  for (int i = 0; i < size; ++i) block[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(buffer.writeBlock(block.data(), size), size);
  buffer.putByte(0x42);
  EXPECT_EQ(buffer.length, 75497472);
  EXPECT_EQ(buffer.avail, 33554431);
  EXPECT_EQ(buffer.flip(), size + 1);
  EXPECT_EQ(memcmp(buffer.data(), block.data(), size), 0);
  EXPECT_EQ(buffer.data()[size], 0x42);
  EXPECT_EQ(buffer.data()[size + 1], 0);
}

TEST(DataBufferGrowth, ExactlyThirtyTwoMebibytesDoubles) {
  const int size = 33554432;
  DATA_BUFFER buffer(size, 128, nullptr);
  buffer.cursor += size;  // pretend the content was written
  buffer.avail = 0;
  buffer.putByte(1);
  EXPECT_EQ(buffer.length, 2 * size);
}

TEST(DataBufferBlocks, WriteRefusesWhatDoesNotFitAndNeverGrows) {
  DATA_BUFFER buffer(16, 128, nullptr);
  uint8_t bytes[17];
  for (int i = 0; i < 17; ++i) bytes[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(buffer.writeBlock(bytes, 17), -1);
  EXPECT_EQ(buffer.avail, 16);
  EXPECT_EQ(buffer.cursor, buffer.data());
  EXPECT_EQ(buffer.length, 16);
  EXPECT_EQ(buffer.writeBlock(bytes, 16), 16);
  EXPECT_EQ(buffer.avail, 0);
  EXPECT_EQ(buffer.writeBlock(bytes, 1), -1);
  EXPECT_EQ(buffer.writeBlock(bytes, 0), 0);
  EXPECT_EQ(buffer.flip(), 16);
  EXPECT_EQ(memcmp(buffer.data(), bytes, 16), 0);
}

TEST(DataBufferBlocks, ReadRefusesPastTheEnd) {
  DATA_BUFFER buffer(8, 128, nullptr);
  const uint8_t bytes[5] = {9, 8, 7, 6, 5};
  buffer.writeBlock(bytes, 5);
  buffer.flip();
  uint8_t out[6] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(buffer.readBlock(out, 6), -1);
  EXPECT_EQ(buffer.avail, 5);
  EXPECT_EQ(buffer.readBlock(out, 2), 2);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(out[1], 8);
  EXPECT_EQ(buffer.avail, 3);
  EXPECT_EQ(buffer.getByte(), 7);
  EXPECT_EQ(buffer.readBlock(out, 2), 2);
  EXPECT_EQ(out[0], 6);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(buffer.readBlock(out, 1), -1);
  EXPECT_EQ(buffer.avail, 0);
}

TEST(DataBufferU32, IsBigEndianAndRoundTrips) {
  DATA_BUFFER buffer(8, 128, nullptr);
  EXPECT_EQ(buffer.putU32(0x01020304u), 4);
  EXPECT_EQ(buffer.putU32(0xFFFEFDFCu), 0xFC);
  EXPECT_EQ(buffer.flip(), 8);
  const std::vector<int> expected = {1, 2, 3, 4, 0xFF, 0xFE, 0xFD, 0xFC};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(buffer.data()[i], expected[i]) << i;
  EXPECT_EQ(buffer.getU32(), 0x01020304u);
  EXPECT_EQ(buffer.getU32(), 0xFFFEFDFCu);
  EXPECT_EQ(buffer.avail, 0);
}

TEST(DataBufferU32, MissingBytesCountAsMinusOne) {
  DATA_BUFFER buffer(8, 128, nullptr);
  buffer.putByte(0x12);
  buffer.putByte(0x34);
  buffer.flip();
  // 0x12 << 24 + 0x34 << 16 - 256 - 1, in 32 bits.
  EXPECT_EQ(buffer.getU32(), 0x1233FEFFu);
  EXPECT_EQ(buffer.avail, -2);
  EXPECT_EQ(buffer.getU32(), 0xFEFEFEFFu);  // four missing bytes
  EXPECT_EQ(buffer.avail, -6);
}

TEST(DataBufferCounted, EscapesThenRemainder) {
  DATA_BUFFER buffer(8, 128, nullptr);
  EXPECT_EQ(buffer.putCounted(600, 0, 255), 90);
  EXPECT_EQ(buffer.putCounted(254, 0, 255), 254);
  EXPECT_EQ(buffer.putCounted(255, 0, 255), 0);
  EXPECT_EQ(buffer.putCounted(7, 10, 20), 17);
  EXPECT_EQ(buffer.putCounted(25, 10, 20), 15);
  EXPECT_EQ(buffer.flip(), 10);
  const std::vector<int> expected = {255, 255, 90, 254, 255, 0, 17, 20, 20, 15};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buffer.data()[i], expected[i]) << i;
  EXPECT_EQ(buffer.getCounted(0, 255), 600);
  EXPECT_EQ(buffer.getCounted(0, 255), 254);
  EXPECT_EQ(buffer.getCounted(0, 255), 255);
  EXPECT_EQ(buffer.getCounted(10, 20), 7);
  EXPECT_EQ(buffer.getCounted(10, 20), 25);
  EXPECT_EQ(buffer.getCounted(10, 20), -1);
}

TEST(DataBufferCounted, EndInsideARunIsAFailure) {
  DATA_BUFFER buffer(8, 128, nullptr);
  buffer.putByte(255);
  buffer.putByte(255);
  buffer.flip();
  EXPECT_EQ(buffer.getCounted(0, 255), -1);
  EXPECT_LT(buffer.avail, 0);
}

TEST(DataBufferReset, StartsAfreshWithoutMinimum) {
  DATA_BUFFER buffer(64, 128, nullptr);
  for (int i = 0; i < 10; ++i) buffer.putByte(i);
  buffer.reset(3);
  EXPECT_EQ(buffer.length, 3);
  EXPECT_EQ(buffer.avail, 3);
  EXPECT_EQ(buffer.cursor, buffer.data());
  EXPECT_EQ(buffer.storage[0], 0);
  EXPECT_EQ(buffer.data()[3], 0);
  for (int i = 0; i < 5; ++i) buffer.putByte(100 + i);
  EXPECT_EQ(buffer.length, 6);
  EXPECT_EQ(buffer.flip(), 5);
  EXPECT_EQ(ReadAll(buffer), (std::vector<int>{100, 101, 102, 103, 104}));
}

TEST(DataBufferReset, ZeroSizeStillTakesBytes) {
  DATA_BUFFER buffer(8, 128, nullptr);
  buffer.reset(0);
  EXPECT_EQ(buffer.length, 0);
  for (int i = 0; i < 20; ++i) buffer.putByte(i);
  EXPECT_EQ(buffer.flip(), 20);
  std::vector<int> expected;
  for (int i = 0; i < 20; ++i) expected.push_back(i);
  EXPECT_EQ(ReadAll(buffer), expected);
}

// A chain of `count` flipped buffers; buffer i (from 1) has maxOrder i and
// holds the single byte i. Under AddressSanitizer a buffer freed twice, or
// read after it was freed, fails the test; the leak checker catches one that
// was not freed.
DATA_BUFFER* MakeChain(int count) {
  DATA_BUFFER* head = nullptr;
  for (int i = count; i >= 1; --i) {
    head = new DATA_BUFFER(8, i, head);
    head->putByte(i);
    head->flip();
  }
  return head;
}

TEST(DataBufferChain, AppendPutsTailBehindTheLastBuffer) {
  DATA_BUFFER* head = MakeChain(2);
  DATA_BUFFER* tail = MakeChain(3);
  EXPECT_EQ(AppendChain(tail, nullptr), tail);
  DATA_BUFFER* joined = AppendChain(tail, head);
  EXPECT_EQ(joined, head);
  std::vector<int> orders;
  for (DATA_BUFFER* b = joined; b; b = b->next) orders.push_back(b->maxOrder);
  EXPECT_EQ(orders, (std::vector<int>{1, 2, 1, 2, 3}));
  delete joined;
}

TEST(DataBufferChain, PopFreesOnlyTheHead) {
  DATA_BUFFER* head = MakeChain(3);
  DATA_BUFFER* second = head->next;
  DATA_BUFFER* third = second->next;
  DATA_BUFFER* rest = PopBuffer(head);
  ASSERT_EQ(rest, second);
  EXPECT_EQ(rest->next, third);
  EXPECT_EQ(third->next, nullptr);
  EXPECT_EQ(rest->getByte(), 2);
  EXPECT_EQ(third->getByte(), 3);
  rest = PopBuffer(rest);
  EXPECT_EQ(rest, third);
  EXPECT_EQ(PopBuffer(rest), nullptr);
}

TEST(DataBufferChain, ReplaceTakesThePlaceAndFlips) {
  DATA_BUFFER* head = MakeChain(3);
  DATA_BUFFER* old = head->next;
  DATA_BUFFER* third = old->next;
  DATA_BUFFER* replacement = new DATA_BUFFER(8, 77, nullptr);
  replacement->putByte(0x99);
  replacement->putByte(0x98);
  EXPECT_EQ(ReplaceBuffer(replacement, old), replacement);
  head->next = replacement;
  EXPECT_EQ(replacement->next, third);
  EXPECT_EQ(replacement->length, 2);
  EXPECT_EQ(replacement->getByte(), 0x99);
  EXPECT_EQ(third->getByte(), 3);  // the rest of the chain survived
  delete head;
}

TEST(DataBufferChain, DeletingTheHeadFreesALongChain) {
  // A chain far longer than any recursion could take.
  DATA_BUFFER* head = nullptr;
  for (int i = 0; i < 200000; ++i) head = new DATA_BUFFER(0, 2, head);
  int count = 0;
  for (const DATA_BUFFER* b = head; b; b = b->next) ++count;
  EXPECT_EQ(count, 200000);
  delete head;
}

using testkit::FatalText;
using testkit::LimitAddressSpace;
using testkit::PROGRAM_RESULT;
using testkit::RunInChild;

TEST(DataBufferMemory, ImpossibleSizesAreOutOfMemory) {
  const PROGRAM_RESULT outOfMemory{255, FatalText("out of memory")};
  EXPECT_EQ(RunInChild([] { DATA_BUFFER buffer(INT32_MAX, 2, nullptr); }), outOfMemory);
  EXPECT_EQ(RunInChild([] { DATA_BUFFER buffer(-100, 2, nullptr); }), outOfMemory);
  EXPECT_EQ(RunInChild([] {
              DATA_BUFFER buffer(8, 2, nullptr);
              buffer.reset(-1);
            }),
            outOfMemory);
}

TEST(DataBufferMemory, FailedAllocationIsOutOfMemory) {
  // The address space of the child is capped just above what it uses, so
  // that the next large allocation fails; each case must end in the error
  // routine rather than in a crash.
  const PROGRAM_RESULT outOfMemory{255, FatalText("out of memory")};
  EXPECT_EQ(RunInChild([] {
              LimitAddressSpace();
              DATA_BUFFER buffer(1 << 30, 2, nullptr);
            }),
            outOfMemory);
  EXPECT_EQ(RunInChild([] {
              DATA_BUFFER buffer(1 << 26, 2, nullptr);
              buffer.cursor += buffer.avail;
              buffer.avail = 0;
              LimitAddressSpace();
              buffer.putByte(1);
            }),
            outOfMemory);
  EXPECT_EQ(RunInChild([] {
              DATA_BUFFER buffer(8, 2, nullptr);
              LimitAddressSpace();
              buffer.reset(1 << 30);
            }),
            outOfMemory);
}

}  // namespace
}  // namespace zubreca
