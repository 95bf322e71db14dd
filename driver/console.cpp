#include "driver/console.h"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "driver/file_safety.h"
#include "driver/rollback.h"

namespace zubreca {

bool overwriteAll = false;

void PrintShown(const char* text) {
  for (const char* p = text; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || c == 127) {
      printf("\\x%02X", c);
    } else {
      putchar(c);
    }
  }
}

namespace {
FATAL_HOOK fatalHook = nullptr;
}  // namespace

void SetFatalHook(FATAL_HOOK hook) { fatalHook = hook; }

void ReportError(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::vector<char> message(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
  if (length > 0) vsnprintf(message.data(), message.size(), format, args);
  va_end(args);

  RollBack();
  printf("\nError: ");
  PrintShown(message.data());
  printf("!\n");
  if (fatalHook) fatalHook();
  exit(-1);
}

namespace {

constexpr int kCarriageReturn = 13;
constexpr int kLineFeed = 10;
constexpr int kEscape = 27;

// Whether the next character read from standard input begins a line: a
// line feed there is Enter on an empty line, an answer; one that ends a
// line already answered (or holding only ignored characters) is not.
bool atLineStart = true;

[[noreturn]] void UserBreak() {
  RollBack();
  printf("User break!\n");
  exit(-1);
}

// Reads answers until one of Y, carriage return, an empty line, A, N, Q or
// escape arrives; every other character is ignored. The end of the input
// counts as Q, so the prompt never waits for an answer that cannot come.
bool ReadAnswer() {
  for (;;) {
    const int c = getchar();
    if (c == EOF) UserBreak();
    const bool lineStart = atLineStart;
    atLineStart = c == kLineFeed;
    switch (toupper(c)) {
      case kLineFeed:
        if (lineStart) return true;
        break;
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
  switch (KindOfPath(path)) {
    case PATH_KIND::kMissing:
      return true;
    case PATH_KIND::kRegular:
    case PATH_KIND::kLink:
      break;
    case PATH_KIND::kDirectory:
    case PATH_KIND::kOther:
      ReportError("can`t open file %s", path);
  }
  if (overwriteAll) return true;
  PrintShown(path);
  printf(" already exists, overwrite?: <Y>es, <N>o, <A>ll, <Q>uit?");
  return ReadAnswer();
}

void ScrPrint() {
  static const char ScreenChars[] = "|/-\\";
  static int32_t PrintCounter = 0;
  putchar(ScreenChars[PrintCounter]);
  putchar(8);
  PrintCounter = (PrintCounter + 1) & 3;
}

}  // namespace zubreca
