// Console output of the program: the fatal error routine, the overwrite
// prompt, the progress spinner and the printing of names.
//
// All output goes to standard output. Every failure of the program ends in
// ReportError, which rolls back what is half done (driver/rollback.h) and
// ends the program.
#pragma once

namespace zubreca {

// Prints "\nError: ", the printf-formatted message and "!\n", then rolls
// back and ends the program with exit status 255. Control characters in
// the message (which may hold names from an archive) are shown escaped.
[[noreturn]] void ReportError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For the fuzz targets, which run decoders in one long-lived process: a
// routine that ReportError calls instead of ending the program, once the
// message is printed. It must not return (it throws).
using FATAL_HOOK = void (*)();
void SetFatalHook(FATAL_HOOK hook);

// Prints `text` with every control character (codes 0 to 31 and 127)
// shown as \xHH, so that a name read from an archive or a directory cannot
// move the cursor or change the terminal.
void PrintShown(const char* text);

// Decides whether the output file `path` may be written; the caller then
// replaces it as a whole. Nothing at that name (as lstat tells, so a
// dangling link counts as something) needs no question. A directory or
// another non-regular file that is not a link is fatal
// "can`t open file %s". Otherwise, unless "all" was answered earlier in
// the run, asks on standard input: Y, carriage return, or a line feed that
// ends an empty line is yes; A is yes for this and every later file; N is
// no; Q or escape ends the program with "User break!" (and so does the end
// of standard input). Other characters, and the line feed that ends a line
// holding an answer, are ignored.
bool AskOverwrite(const char* path);

// The run-wide "all" answer of the overwrite prompt.
extern bool overwriteAll;

// One step of the spinner "|/-\": prints the next character and a
// backspace.
void ScrPrint();

}  // namespace zubreca
