// Shared set-up of the fuzz targets: a private sandbox tree that every
// adapter path points into, quiet standard output, and small readers used
// by the targets' own checks.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Creates the sandbox (under /dev/shm when present: the identity file is
// synced on every change) and points the adapter's paths into it. Standard
// output goes to /dev/null unless FUZZ_VERBOSE is set; libFuzzer reports on
// standard error. Aborts when the sandbox cannot be made.
void FUZZ_Setup();
// Whole content of a file; false when it cannot be read.
bool FUZZ_ReadFile(const char *path, std::string *out);
// Stops the run with a message on standard error (a finding).
[[noreturn]] void FUZZ_Fail(const char *what);
#define FUZZ_CHECK(cond)                                                       \
    do {                                                                       \
        if (!(cond))                                                           \
            FUZZ_Fail(__FILE__ ":" FUZZ_STR(__LINE__) ": check failed: " #cond); \
    } while (0)
#define FUZZ_STR(x) FUZZ_STR2(x)
#define FUZZ_STR2(x) #x
