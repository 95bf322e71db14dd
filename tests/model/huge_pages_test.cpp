#include "model/huge_pages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "model/estimators.h"
#include "model/model_memory.h"
#include "model/symbol_coder.h"

namespace zubreca {
namespace {

// True when the kernel hands out large pages to memory that asks for them.
bool LargePagesOnRequest() {
  std::ifstream in("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string line;
  return std::getline(in, line) && line.find("[never]") == std::string::npos;
}

// Kilobytes of large pages in the mapping that holds the address, from
// /proc/self/smaps; -1 when the mapping is not found.
long LargePageKilobytesAt(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t from = 0, to = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> from >> dash >> to && dash == '-') {
      inside = from <= at && at < to;
      continue;
    }
    if (inside && line.rfind("AnonHugePages:", 0) == 0) return std::stol(line.substr(14));
  }
  return -1;
}

// Also for a block that follows a released one: memory that was touched
// before (a reused heap block) would stay on small pages.
TEST(HugePagesTest, ModelBlockStartsOnALargePageAndGetsThem) {
  MODEL_MEMORY::release();
  for (const uint32_t megabytes : {16u, 8u, 8u}) {
    ASSERT_TRUE(MODEL_MEMORY::reserve(megabytes));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(MODEL_MEMORY::block) % kHugePageBytes, 0u);
    std::memset(MODEL_MEMORY::block, 1, MODEL_MEMORY::blockSize);
    if (LargePagesOnRequest()) {
      EXPECT_GE(LargePageKilobytesAt(MODEL_MEMORY::block), 2048) << megabytes;
    }
    MODEL_MEMORY::release();
  }
}

TEST(HugePagesTest, EstimatorTablesGetLargePagesOnceTheCoderStarts) {
  // Starting the coder resets (and so touches) every table.
  StartSymbolCoder(TEXT_ALPHABET::kPlain);
  if (!LargePagesOnRequest()) GTEST_SKIP() << "the kernel gives no large pages";
  EXPECT_GE(LargePageKilobytesAt(&tables.stage3[kStage3Cells / 2]), 2048);
}

}  // namespace
}  // namespace zubreca
