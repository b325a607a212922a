// Checks of the fuzz targets. They hold in every build type (assert would
// vanish under NDEBUG) and end the process, so libFuzzer keeps the input.
#ifndef KOBREL_FUZZ_CHECK_H
#define KOBREL_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#include <string>

// What the failure report shows besides the failed condition: the input as
// the target understood it.
extern std::string fuzz_case_description;

[[noreturn]] inline void fuzz_check_failed(const char *condition, const char *file, int line)
{
    fprintf(stderr, "%s:%d: fuzz check failed: %s\n%s\n", file, line, condition,
            fuzz_case_description.c_str());
    abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))

#endif
