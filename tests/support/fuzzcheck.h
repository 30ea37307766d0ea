#ifndef FUZZCHECK_H
#define FUZZCHECK_H

#include <cstdio>
#include <cstdlib>

// The fuzz target's name, for its lines: each target defines it.
extern const char FuzzTargetName[];

// A promise the code under test broke: said on stderr, then abort(), which libFuzzer takes
// for a crash and keeps the input of.
[[noreturn]] inline void fail(const char *what)
{
    std::fprintf(stderr, "%s: %s\n", FuzzTargetName, what);
    std::abort();
}

inline void check(bool condition, const char *what)
{
    if (!condition)
        fail(what);
}

#endif // FUZZCHECK_H
