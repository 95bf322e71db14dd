// Console output of the program: the fatal error routine, the overwrite
// prompt and the progress spinner.
//
// All output goes to standard output. Every failure of the program ends in
// ReportError; there are no error codes and no clean-up.
#pragma once

namespace zubreca {

// Prints "\nError: ", the printf-formatted message and "!\n", then ends the
// program with exit status 255.
[[noreturn]] void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Decides whether the output file `path` may be written. A missing file
// needs no question. Otherwise, unless "all" was answered earlier in the
// run, asks on standard input: Y or carriage return is yes, A is yes for
// this and every later file, N is no, Q or escape ends the program with
// "User break!" (and so does the end of standard input). After a yes the
// old file is made writable and removed; the answer is then whether that
// removal succeeded.
bool AskOverwrite(const char* path);

// The run-wide "all" answer of the overwrite prompt.
extern bool overwriteAll;

// One step of the spinner "|/-\": prints the next character and a
// backspace.
void ScrPrint();

}  // namespace zubreca
