// Counts dlopen/dlclose pairs per library path in this process. Linking this
// file into a test interposes the two loader calls for the whole program
// (the runtime's included) and forwards them unchanged; the count shows
// whether the runtime closed what it opened even when the loader keeps the
// library mapped.
#ifndef KIV_TEST_LOADER_SPY_H
#define KIV_TEST_LOADER_SPY_H

#include <string>

// Successful dlopen calls that returned the handle of the library at `path`,
// minus dlclose calls of that handle.
int loader_spy_open_count(const std::string& path);

#endif  // KIV_TEST_LOADER_SPY_H
