// Writes the seed files of the fuzz targets: OUTPUT_DIR/seed-N.
#pragma once

#include <cstdio>
#include <string>

namespace zubreca::fuzzing {

// Writes `seed` as the next seed file of `directory`, counting in
// `written`; false when the file cannot be written.
inline bool WriteSeedFile(const std::string& directory, int& written, const std::string& seed) {
  FILE* out = fopen((directory + "/seed-" + std::to_string(written++)).c_str(), "wb");
  if (!out) return false;
  const bool complete = fwrite(seed.data(), 1, seed.size(), out) == seed.size();
  return fclose(out) == 0 && complete;
}

}  // namespace zubreca::fuzzing
