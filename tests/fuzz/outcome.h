// A stand-in for the two ends of a run: instead of exiting, they record how
// the run ended and jump back into the fuzz target.
#pragma once

#include <csetjmp>

namespace fuzz {

struct Outcome {
    int code;      // code of the header line sent, 0 while none
    int headers;   // how many header lines were sent
    int exit_code; // what stop() or finish() would have exited with
    bool ended;
    char meta[4096];
    char detail[4096];
    std::jmp_buf jump;
};

extern Outcome outcome;

// Clears the outcome and the request record before a run.
void reset();

// Aborts, so that libFuzzer keeps the input, when a property does not hold.
[[noreturn]] void fail(const char *what);
inline void check(bool holds, const char *what) {
    if (!holds)
        fail(what);
}

} // namespace fuzz
