#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken invariant is a crash to the fuzzer, with the condition on stderr.
#define TVR_FUZZ_CHECK(condition)                                                                                      \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                    \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

#define TVR_FUZZ_ENTRY extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
