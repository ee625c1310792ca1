// What the module's objects do around fork(). A forked child has one thread:
// locks held by the parent's other threads would stay held in it for good,
// and the driver contexts and threads of the parent are not the child's.
// Objects that hold such state register handlers: before the fork they take
// their locks (so that the child finds them free), after it the parent lets
// them go and the child starts afresh.
#ifndef KIV_FORK_SAFETY_H
#define KIV_FORK_SAFETY_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace aipudrv {

// How many forks lie between the process that loaded the module and this
// one: a child sees one more than its parent had when it forked.
uint64_t fork_generation();

// Registers `before` and `after(in_child)` for every fork while it lives.
// Declare it as the last member of its owner, so that it is registered only
// once the owner is whole and unregistered before the owner is taken apart.
class ForkHandlers {
public:
    ForkHandlers(std::function<void()> before, std::function<void(bool in_child)> after);
    ~ForkHandlers();
    ForkHandlers(const ForkHandlers&) = delete;
    ForkHandlers& operator=(const ForkHandlers&) = delete;

    void before() const { before_(); }
    void after(bool in_child) const { after_(in_child); }

private:
    std::function<void()> before_;
    std::function<void(bool)> after_;
};

// A mutex and its condition variable that a child can use: the fork waits
// for the mutex, and the child gets a condition variable without the
// parent's waiters (destroying or signalling one with waiters that no longer
// exist can block forever). `on_child` runs in the child with the mutex held.
class Monitor {
public:
    explicit Monitor(std::function<void()> on_child = {});

    std::mutex mu;
    std::condition_variable cv;

private:
    std::function<void()> on_child_;
    ForkHandlers fork_;
};

}  // namespace aipudrv

#endif  // KIV_FORK_SAFETY_H
