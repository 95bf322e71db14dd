#include "driver/command_line.h"

int main(int argc, char** argv) { return zubreca::RunZubreca(argc, argv); }

// In builds with AddressSanitizer a failed allocation returns null, as in
// the plain build, so that it ends in the program's "out of memory" error
// rather than in a sanitizer abort.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
