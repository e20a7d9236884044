#ifndef VELLORT_FUZZ_FUZZCHECK_H
#define VELLORT_FUZZ_FUZZCHECK_H

#include <stdio.h>
#include <stdlib.h>

// An invariant of the code under fuzzing. A violation aborts, which libFuzzer
// reports as a crash and keeps the input that caused it.
#define FUZZ_REQUIRE(condition) ((condition) ? (void)0 : fuzzCheckFailed(#condition, __FILE__, __LINE__))

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line) {
    fprintf(stderr, "%s:%d: invariant violated: %s\n", file, line, condition);
    abort();
}

#endif
