// Sets or unsets one environment variable and restores it on destruction.
#ifndef KIV_TEST_ENV_GUARD_H
#define KIV_TEST_ENV_GUARD_H

#include <string>

class EnvGuard {
public:
    // A null `value` unsets the variable.
    EnvGuard(const char* name, const char* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::string old_value_;
    bool had_value_ = false;
};

#endif  // KIV_TEST_ENV_GUARD_H
