// Counts the threads inside something (a context handle in use without the
// GIL, completions running in Python) so that its owner can close it and
// wait until they have left.
#ifndef KIV_USE_GATE_H
#define KIV_USE_GATE_H

#include "fork_safety.h"

namespace aipudrv {

class UseGate {
public:
    UseGate();
    UseGate(const UseGate&) = delete;
    UseGate& operator=(const UseGate&) = delete;

    // False once closed: the caller stays out.
    bool enter();
    void leave();
    // Lets no new pass in.
    void close();
    // Waits until the passes of other threads have left; must be called
    // without the GIL when they may need it to leave. The calling thread's
    // own passes are not waited for: they could only leave after this
    // returns (a completion that destroys its own NPU object).
    void wait_for_others();
    void close_and_wait() {
        close();
        wait_for_others();
    }

private:
    bool closed_ = false;
    int inside_ = 0;
    // In a forked child only the forking thread's own passes are left.
    Monitor monitor_;
};

// One pass through a gate for a scope; `open()` is false when it was closed.
class UsePass {
public:
    explicit UsePass(UseGate& gate) : gate_(gate), open_(gate.enter()) {}
    ~UsePass() {
        if (open_) gate_.leave();
    }
    UsePass(const UsePass&) = delete;
    UsePass& operator=(const UsePass&) = delete;
    bool open() const { return open_; }

private:
    UseGate& gate_;
    bool open_;
};

}  // namespace aipudrv

#endif  // KIV_USE_GATE_H
