// Tests of OpenFile and of loading a whole file into a DATA_BUFFER.
#include "buffers/file_loading.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/driver/run_program.h"

namespace zubreca {
namespace {

using testkit::FatalText;
using testkit::PROGRAM_RESULT;
using testkit::ReadFile;
using testkit::RunInChild;
using testkit::TEMP_DIR;
using testkit::WriteFile;

// Makes a file of `size` bytes that occupies no disk space.
void MakeSparseFile(const std::string& path, off_t size) {
  WriteFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

TEST(OpenFile, MissingOptionalFileGivesNullSilently) {
  TEMP_DIR dir;
  const std::string missing = dir / "missing.bin";
  EXPECT_EQ(RunInChild([&] {
              if (OpenFile(missing.c_str(), "rb", false) != nullptr) printf("opened");
            }),
            (PROGRAM_RESULT{0, ""}));
}

TEST(OpenFile, MissingRequiredFileIsFatal) {
  TEMP_DIR dir;
  const std::string missing = dir / "missing.bin";
  EXPECT_EQ(RunInChild([&] { OpenFile(missing.c_str(), "rb", true); }),
            (PROGRAM_RESULT{255, FatalText("can`t open file " + missing)}));
}

TEST(OpenFile, StreamsAreBufferedBy64KiB) {
  TEMP_DIR dir;
  const std::string path = dir / "out.bin";
  FILE* file = OpenFile(path.c_str(), "wb", true);
  ASSERT_NE(file, nullptr);
  std::string block(70000, 'z');
  struct stat status;
  // 60000 bytes fit in the stream's buffer: nothing has reached the file
  // (a default buffer of a few KiB would have written most of them).
  for (int i = 0; i < 60000; ++i) ASSERT_EQ(fputc(block[i], file), 'z');
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 0);
  // 70000 bytes do not.
  for (int i = 60000; i < 70000; ++i) ASSERT_EQ(fputc(block[i], file), 'z');
  ASSERT_EQ(stat(path.c_str(), &status), 0);
  EXPECT_GT(status.st_size, 0);
  ASSERT_EQ(CloseFile(file), 0);
  EXPECT_EQ(ReadFile(path), block);
}

TEST(FileLoading, LoadsTheWholeFileReadyForReading) {
  TEMP_DIR dir;
  const std::string path = dir / "data.bin";
  std::string contents;
  for (int i = 0; i < 70000; ++i) contents.push_back(static_cast<char>(i * 13 + (i >> 8)));
  WriteFile(path, contents);
  FILE* file = OpenFile(path.c_str(), "rb", true);
  fseek(file, 123, SEEK_SET);  // loading starts from the beginning wherever the stream is
  DATA_BUFFER buffer(file, 77);
  CloseFile(file);
  EXPECT_EQ(buffer.modelNumber, 0);
  EXPECT_EQ(buffer.maxOrder, 77);
  EXPECT_EQ(buffer.next, nullptr);
  ASSERT_EQ(buffer.length, 70000);
  EXPECT_EQ(buffer.avail, 70000);
  EXPECT_EQ(buffer.cursor, buffer.data());
  EXPECT_EQ(memcmp(buffer.data(), contents.data(), contents.size()), 0);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(buffer.storage[i], 0);
    EXPECT_EQ(buffer.data()[70000 + i], 0);
  }
  EXPECT_EQ(buffer.getByte(), static_cast<unsigned char>(contents[0]));
  EXPECT_EQ(buffer.avail, 69999);
}

TEST(FileLoading, EmptyFileGivesEmptyBuffer) {
  TEMP_DIR dir;
  const std::string path = dir / "empty.bin";
  WriteFile(path, "");
  FILE* file = OpenFile(path.c_str(), "rb", true);
  DATA_BUFFER buffer(file, 128);
  CloseFile(file);
  EXPECT_EQ(buffer.length, 0);
  EXPECT_EQ(buffer.avail, 0);
  EXPECT_NE(buffer.storage, nullptr);
  EXPECT_EQ(buffer.getByte(), -1);
}

TEST(FileLoading, NoFileGivesBufferWithoutStorage) {
  DATA_BUFFER buffer(static_cast<FILE*>(nullptr), 5);
  EXPECT_EQ(buffer.maxOrder, 5);
  EXPECT_EQ(buffer.length, 0);
  EXPECT_EQ(buffer.avail, 0);
  EXPECT_EQ(buffer.storage, nullptr);
  EXPECT_EQ(buffer.cursor, nullptr);
  EXPECT_EQ(buffer.getByte(), -1);
}

TEST(FileLoading, BufferWithoutStorageCanStillBeWritten) {
  DATA_BUFFER buffer(static_cast<FILE*>(nullptr), 5);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buffer.putByte(i + 1), i + 1);
  EXPECT_EQ(buffer.length, 16);
  EXPECT_EQ(buffer.flip(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(buffer.getByte(), i + 1);
  EXPECT_EQ(buffer.getByte(), -1);
}

TEST(FileLoading, LimitIsOneGibibyte) {
  TEMP_DIR dir;
  const std::string exact = dir / "exact.bin";
  const std::string over = dir / "over.bin";
  MakeSparseFile(exact, 1073741824);
  MakeSparseFile(over, 1073741825);
  EXPECT_EQ(RunInChild([&] {
              FILE* file = OpenFile(exact.c_str(), "rb", true);
              DATA_BUFFER buffer(file, 128);
              printf("%d %d %d", buffer.length, buffer.data()[0], buffer.data()[buffer.length - 1]);
            }),
            (PROGRAM_RESULT{0, "1073741824 0 0"}));
  EXPECT_EQ(RunInChild([&] {
              FILE* file = OpenFile(over.c_str(), "rb", true);
              DATA_BUFFER buffer(file, 128);
            }),
            (PROGRAM_RESULT{255, FatalText("out of memory")}));
}

TEST(FileLoading, FilesOfTwoGibibytesAndMoreAreRefused) {
  // Sizes whose low 32 bits look harmless (1 GiB, 10 bytes, 0) must be
  // refused all the same, and quickly: nothing of them is read.
  TEMP_DIR dir;
  for (const off_t size : {off_t{3} << 30, (off_t{5} << 30), (off_t{4} << 30) + 10, off_t{4} << 30}) {
    const std::string huge = dir / "huge.bin";
    MakeSparseFile(huge, size);
    EXPECT_EQ(RunInChild([&] {
                FILE* file = OpenFile(huge.c_str(), "rb", true);
                testkit::LimitAddressSpace();
                DATA_BUFFER buffer(file, 128);
              }),
              (PROGRAM_RESULT{255, FatalText("out of memory")}))
        << size << " bytes";
  }
}

TEST(FileLoading, UnloadableFileIsOutOfMemory) {
  // A file of 512 MiB with too little address space to hold it.
  TEMP_DIR dir;
  const std::string path = dir / "big.bin";
  MakeSparseFile(path, 512 << 20);
  EXPECT_EQ(RunInChild([&] {
              FILE* file = OpenFile(path.c_str(), "rb", true);
              testkit::LimitAddressSpace();
              DATA_BUFFER buffer(file, 128);
            }),
            (PROGRAM_RESULT{255, FatalText("out of memory")}));
}

}  // namespace
}  // namespace zubreca
