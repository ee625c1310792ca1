#include "kiv_native_lifetime.h"

#include <utility>

#include "fork_safety.h"

namespace py = pybind11;

namespace aipudrv {

Lifetime::Lifetime(py::object refuse, py::object release)
    : refuse_(std::move(refuse)), release_(std::move(release)), generation_(fork_generation()) {}

bool Lifetime::inherited() const {
    return generation_ != fork_generation();
}

void Lifetime::enter() {
    if (inherited() || closing_) {
        refuse_(inherited());
        throw py::value_error("refused");  // refuse() is meant to raise
    }
    ++users_;
}

void Lifetime::leave() {
    if (inherited() || users_ == 0) return;
    --users_;
    if (users_ == 0 && closing_ && !released_) {
        try {
            release_once(false);
        } catch (py::error_already_set& error) {
            // The user that happened to be last has no one to report a
            // failure to; an interrupt (Ctrl-C) still goes on up.
            if (!error.matches(PyExc_Exception)) throw;
            error.discard_as_unraisable(release_);
        }
    }
}

bool Lifetime::close() {
    if (inherited() || closing_) return false;
    closing_ = true;
    if (users_ != 0) return false;
    release_once(true);
    return true;
}

void Lifetime::close_now() {
    if (inherited()) return;
    closing_ = true;
    if (!released_) release_once(false);
}

void Lifetime::release_once(bool raising) {
    released_ = true;
    // What the release lets go of may hold the last reference to it (its
    // owner goes with what it releases): it is kept alive by a reference of
    // this call. Plain references, not owners: a thread the interpreter ends
    // while it exits (in a driver call the release makes without the GIL)
    // unwinds through this frame, where no destructor may touch Python.
    PyObject* release = release_.ptr();
    Py_INCREF(release);
    PyObject* result = PyObject_CallOneArg(release, raising ? Py_True : Py_False);
    Py_DECREF(release);
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
}

void register_kiv_lifetime(py::module_& m) {
    py::class_<Lifetime>(m, "Lifetime",
                         "The users of a kiv object and the release that runs once it is closed and the last user "
                         "has left. `with lifetime:` holds one use, also against KeyboardInterrupt.")
        .def(py::init<py::object, py::object>(), py::arg("refuse"), py::arg("release"))
        .def("enter", &Lifetime::enter, "One more user; raises through refuse(inherited) when closed or inherited.")
        .def("leave", &Lifetime::leave, "One user less; the last one after close() runs release(False).")
        .def("close", &Lifetime::close,
             "Lets no new user in; releases now (release(True)) when no user is left, else when the last one "
             "leaves. True when released by this call; does nothing in a forked child.")
        .def("close_now", &Lifetime::close_now, "Releases now (release(False)), users or not.")
        .def("__enter__", [](Lifetime& life) { life.enter(); })
        .def("__exit__",
             [](Lifetime& life, const py::args&) {
                 life.leave();
                 return false;
             })
        .def_property_readonly("closed", &Lifetime::closed)
        .def_property_readonly("released", &Lifetime::released)
        .def_property_readonly("inherited", &Lifetime::inherited,
                               "Whether it was opened by the parent of this forked process.")
        .def_property_readonly("users", &Lifetime::users)
        .def_property_readonly("in_flight", &Lifetime::in_flight,
                               "Jobs that have started and not yet ended, as the native calls count them.");
}

}  // namespace aipudrv
