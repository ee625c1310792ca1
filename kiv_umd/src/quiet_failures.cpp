#include "quiet_failures.h"

namespace kiv {
namespace {

thread_local bool quiet = false;

}  // namespace

QuietFailures::QuietFailures(bool on) : previous_(quiet) {
    quiet = quiet || on;
}

QuietFailures::~QuietFailures() {
    quiet = previous_;
}

bool QuietFailures::active() {
    return quiet;
}

}  // namespace kiv
