// What the tests need to know of the build they run in and of the data
// beside the repository.
#pragma once

#include <string>

#include "tests/driver/run_program.h"

namespace zubreca::testkit {

// The sanitizer build runs the same tests on less data.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif

// The shared corpus: ../shared/corpus beside the repository, or the folder
// that ZUBRECA_CORPUS_DIR names.
std::string CorpusRoot();
bool CorpusPresent();

// Tests that code corpus files start with this: without the corpus they
// are skipped, and say so.
#define NEEDS_CORPUS() \
  if (!::zubreca::testkit::CorpusPresent()) GTEST_SKIP() << "skipped: no shared corpus at " << ::zubreca::testkit::CorpusRoot()

// A file of the shared corpus, by its path below the corpus.
inline std::string CorpusFile(const std::string& relative) {
  return ReadFile(CorpusRoot() + "/" + relative);
}

// The dictionary shipped with the program.
inline std::string ShippedDictionary() { return ReadFile(std::string(ZUBRECA_SOURCE_DIR) + "/dictionary/EnWiki.fsd"); }

// Makes a fresh directory holding the shipped dictionary the process's
// working directory for as long as it lives, as the wiki trick needs.
class IN_DICTIONARY_DIR {
 public:
  IN_DICTIONARY_DIR();
  ~IN_DICTIONARY_DIR();
  IN_DICTIONARY_DIR(const IN_DICTIONARY_DIR&) = delete;
  IN_DICTIONARY_DIR& operator=(const IN_DICTIONARY_DIR&) = delete;

 private:
  TEMP_DIR dir;
  std::string previous;
};

// Every corpus file through the program with the switch `trick` and back:
// whole in the Release build's full sweep (ZUBRECA_FULL_SWEEP=1), else its
// first 64 KiB (16 KiB under the sanitizers).
void ExpectCorpusRoundTrips(const std::string& trick);

}  // namespace zubreca::testkit
