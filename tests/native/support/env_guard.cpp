#include "env_guard.h"

#include <cstdlib>

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_value_ = true;
        old_value_ = old;
    }
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

EnvGuard::~EnvGuard() {
    if (had_value_) {
        setenv(name_.c_str(), old_value_.c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}
