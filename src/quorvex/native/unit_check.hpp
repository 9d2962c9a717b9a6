// The check of the native unit tests: checked in every build type, unlike
// assert; a failed check names its line and ends the test with exit code 1.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(cond)                                                                     \
    do {                                                                                \
        if (!(cond)) {                                                                  \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::exit(1);                                                               \
        }                                                                               \
    } while (0)
