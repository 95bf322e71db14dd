#include "tests/test_build.h"

#include <unistd.h>

#include <stdexcept>

namespace zubreca::testkit {

IN_DICTIONARY_DIR::IN_DICTIONARY_DIR() {
  char here[4096];
  if (!getcwd(here, sizeof here)) throw std::runtime_error("getcwd");
  previous = here;
  WriteFile(dir / "EnWiki.fsd", ShippedDictionary());
  if (chdir(dir.path().c_str()) != 0) throw std::runtime_error("chdir " + dir.path());
}

IN_DICTIONARY_DIR::~IN_DICTIONARY_DIR() {
  if (chdir(previous.c_str()) != 0) perror("chdir back");
}

}  // namespace zubreca::testkit
