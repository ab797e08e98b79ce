// The TOML parser compiled into the fuzz targets, so that it is instrumented
// like the code under test and the fuzzer sees its branches too (the shared
// library of the system is not). Its symbols take precedence over the
// library's at link time.
#define TOML_IMPLEMENTATION
#include <toml++/toml.h>
