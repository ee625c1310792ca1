// kiv._native.Lifetime: the users of a kiv object (a runtime, a model) and
// the release that runs once it is closed and its last user has left.
//
// Every step runs with the GIL held and calls no Python code until its
// count and state are settled, so each step is atomic: against other
// threads, and against KeyboardInterrupt, whose handler only runs between
// bytecodes. A `with lifetime:` block holds one use from its first bytecode
// to its last, whatever interrupts it.
#ifndef KIV_PY_KIV_LIFETIME_H
#define KIV_PY_KIV_LIFETIME_H

#include <pybind11/pybind11.h>

#include <cstdint>

namespace aipudrv {

class Lifetime {
public:
    // `refuse(inherited)` raises the error of a use that is refused: closed,
    // or (inherited True) opened by the parent of this forked process.
    // `release(raising)` releases the object; with raising False it warns
    // about failures instead of raising them.
    Lifetime(pybind11::object refuse, pybind11::object release);

    // One more user; raises through refuse() when closed or inherited.
    void enter();
    // One user less; the last one after close() runs the release.
    void leave();
    // Lets no new user in; releases now, raising its failures, when no user
    // is left, else when the last one leaves. Idempotent; does nothing in a
    // forked child. True when released by this call.
    bool close();
    // Lets no new user in and releases now, users or not (failures warned
    // about). Does nothing in a forked child.
    void close_now();

    // Jobs of the object that have started and not yet ended (each also
    // holds a use); counted by the native calls that start and end them.
    void job_started() { ++jobs_; }
    void job_ended() {
        if (jobs_ > 0) --jobs_;
    }
    int in_flight() const { return jobs_; }

    bool closed() const { return closing_; }
    bool released() const { return released_; }
    bool inherited() const;
    int users() const { return users_; }

private:
    void release_once(bool raising);

    pybind11::object refuse_;
    pybind11::object release_;
    const uint64_t generation_;
    int users_ = 0;
    int jobs_ = 0;
    bool closing_ = false;
    bool released_ = false;
};

void register_kiv_lifetime(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_LIFETIME_H
