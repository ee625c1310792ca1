// Calls kiv_set_freq with the index given on the command line and prints the
// status; run by the tests inside a private mount namespace.
#include <cstdio>
#include <cstdlib>

#include "kiv_api.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const kiv_status_t status = kiv_set_freq(static_cast<int32_t>(std::atol(argv[1])));
    std::fflush(stderr);
    std::printf("status=%d\n", static_cast<int>(status));
    return 0;
}
