#include "driver/console.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace zubreca {

bool overwriteAll = false;

void ReportError(const char* format, ...) {
  printf("\nError: ");
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  printf("!\n");
  exit(-1);
}

namespace {

constexpr int kCarriageReturn = 13;
constexpr int kEscape = 27;

[[noreturn]] void UserBreak() {
  printf("User break!\n");
  exit(-1);
}

// Reads answers until one of Y, carriage return, A, N, Q or escape arrives;
// every other character is ignored. The end of the input counts as Q, so
// the prompt never waits for an answer that cannot come.
bool ReadAnswer() {
  for (;;) {
    const int c = getchar();
    if (c == EOF) UserBreak();
    switch (toupper(c)) {
      case 'Y':
      case kCarriageReturn:
        return true;
      case 'A':
        overwriteAll = true;
        return true;
      case 'N':
        return false;
      case 'Q':
      case kEscape:
        UserBreak();
      default:
        break;
    }
  }
}

}  // namespace

bool AskOverwrite(const char* path) {
  FILE* existing = fopen(path, "rb");
  if (!existing) return true;
  fclose(existing);
  if (!overwriteAll) {
    printf("%s already exists, overwrite?: <Y>es, <N>o, <A>ll, <Q>uit?", path);
    if (!ReadAnswer()) return false;
  }
  chmod(path, S_IRUSR | S_IWUSR);
  return remove(path) == 0;
}

void ScrPrint() {
  static const char ScreenChars[] = "|/-\\";
  static int32_t PrintCounter = 0;
  putchar(ScreenChars[PrintCounter]);
  putchar(8);
  PrintCounter = (PrintCounter + 1) & 3;
}

}  // namespace zubreca
