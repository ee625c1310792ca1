// kiv._native.Lifetime: the users of a kiv object (a runtime, a model) and
// the release that runs once it is closed and its last user has left.
//
// One state, and these transitions only:
//
//   open ──close()──▶ closing ──the last leave()──▶ released
//     └──close() with no user left──────────────────▶ released
//   open, closing ──give_up()──▶ given up
//
// - open: enter() lets users in.
// - closing: closed while in use; enter() is refused, the users under way
//   go on, and the last one to leave runs the release.
// - released: the release ran (or is running); enter() is refused.
// - given up: the interpreter is exiting and the owner's driver context is
//   closed whole, without the release; enter() is refused, and nothing runs
//   when the users leave.
// - inherited: read in a forked child for any object of its parent's (the
//   driver context is the parent's): every use is refused, and nothing is
//   closed or released.
//
// A lifetime may hold one use of a parent (a model's of its runtime, taken
// by hold()): the parent's use is given back right after the release, in
// the same native call.
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
    enum class State { open, closing, released, given_up, inherited };

    // `refuse(inherited)` raises the error of a use that is refused: closed,
    // or (inherited True) opened by the parent of this forked process.
    // `release(raising)` releases the object; with raising False (the
    // release fell to whichever user left last) it warns about failures
    // instead of raising them.
    Lifetime(pybind11::object refuse, pybind11::object release);

    // One more user; refused (raising through refuse()) unless open.
    void enter();
    // One more user, handed over by a holder of one (a job that a run left
    // running takes the run's place): never refused.
    void share();
    // One user less; the last one of a closing object runs the release,
    // raising its failures when `raising`.
    void leave(bool raising = false);
    // open: no new user from now on, and the release runs now (raising its
    // failures) when no user is left. True when released by this call.
    bool close();
    // open or closing: given up (see above).
    void give_up();
    // Takes a use of `parent` (refused unless it is open), given back once
    // this lifetime is released.
    void hold(pybind11::object parent);

    // Jobs of the object that have started and not yet ended (each also
    // holds a use); counted by the native calls that start and end them.
    void job_started() { ++jobs_; }
    void job_ended() {
        if (jobs_ > 0) --jobs_;
    }
    int in_flight() const { return jobs_; }

    State state() const;

private:
    bool inherited() const;
    void release(bool raising);

    pybind11::object refuse_;
    pybind11::object release_;
    pybind11::object parent_;
    const uint64_t generation_;
    int users_ = 0;
    int jobs_ = 0;
    State state_ = State::open;
};

void register_kiv_lifetime(pybind11::module_& m);

}  // namespace aipudrv

#endif  // KIV_PY_KIV_LIFETIME_H
