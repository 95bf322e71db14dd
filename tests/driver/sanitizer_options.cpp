// Under AddressSanitizer a failed allocation returns null, as it does in
// the plain build, instead of ending the test binary: the tests check that
// the program turns such failures into its own "out of memory" error.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
