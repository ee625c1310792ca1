#include "kiv_native_lifetime.h"

#include <stdexcept>
#include <utility>

#include "fork_safety.h"

namespace py = pybind11;

namespace aipudrv {
namespace {

const char* name_of(Lifetime::State state) {
    switch (state) {
        case Lifetime::State::open:
            return "open";
        case Lifetime::State::closing:
            return "closing";
        case Lifetime::State::released:
            return "released";
        case Lifetime::State::given_up:
            return "given up";
        case Lifetime::State::inherited:
            return "inherited";
    }
    return "unknown";
}

}  // namespace

Lifetime::Lifetime(py::object refuse, py::object release)
    : refuse_(std::move(refuse)), release_(std::move(release)), generation_(fork_generation()) {}

bool Lifetime::inherited() const {
    return generation_ != fork_generation();
}

Lifetime::State Lifetime::state() const {
    return inherited() ? State::inherited : state_;
}

void Lifetime::enter() {
    if (state() != State::open) {
        refuse_(inherited());
        throw py::value_error("refused");  // refuse() is meant to raise
    }
    ++users_;
}

void Lifetime::share() {
    if (users_ == 0) throw std::logic_error("a use is shared by a holder of one only");
    ++users_;
}

void Lifetime::leave(bool raising) {
    if (inherited() || users_ == 0) return;
    --users_;
    if (users_ != 0 || state_ != State::closing) return;
    try {
        release(raising);
    } catch (py::error_already_set& error) {
        // The user that happened to be last has no one to report a failure
        // to; an interrupt (Ctrl-C) still goes on up.
        if (raising || !error.matches(PyExc_Exception)) throw;
        error.discard_as_unraisable("releasing a kiv object");
    }
}

bool Lifetime::close() {
    if (state() != State::open) return false;
    state_ = State::closing;
    if (users_ != 0) return false;
    release(true);
    return true;
}

void Lifetime::give_up() {
    if (state() == State::open || state() == State::closing) state_ = State::given_up;
}

void Lifetime::hold(py::object parent) {
    if (parent_) throw std::logic_error("a lifetime holds one parent at most");
    parent.cast<Lifetime&>().enter();
    parent_ = std::move(parent);
}

void Lifetime::release(bool raising) {
    state_ = State::released;
    // The release and the parent are taken out of this object: what the
    // release lets go of may hold the last reference to it, and a release
    // that refers to its owner would otherwise keep a cycle through this
    // object, which the garbage collector cannot see into. Plain
    // references, not owners: a thread the interpreter ends while it exits
    // (in a driver call the release makes without the GIL) unwinds through
    // this frame, where no destructor may touch Python.
    PyObject* release = release_.release().ptr();
    PyObject* parent = parent_.release().ptr();
    PyObject* result = PyObject_CallOneArg(release, raising ? Py_True : Py_False);
    Py_DECREF(release);
    Py_XDECREF(result);
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    if (result == nullptr) PyErr_Fetch(&type, &value, &traceback);
    // The parent's use goes back whatever the release raised (Ctrl-C
    // included); the first failure is the one raised.
    if (parent != nullptr) {
        try {
            py::handle(parent).cast<Lifetime&>().leave(raising);
        } catch (py::error_already_set& error) {
            if (type == nullptr) {
                error.restore();
                PyErr_Fetch(&type, &value, &traceback);
            }
        }
        Py_DECREF(parent);
    }
    if (type == nullptr) return;
    PyErr_Restore(type, value, traceback);
    throw py::error_already_set();
}

void register_kiv_lifetime(py::module_& m) {
    py::class_<Lifetime>(m, "Lifetime",
                         "The users of a kiv object and the release that runs once it is closed and the last user "
                         "has left. `with lifetime:` holds one use, also against KeyboardInterrupt. Its state is "
                         "\"open\", \"closing\", \"released\", \"given up\" or \"inherited\".")
        .def(py::init<py::object, py::object>(), py::arg("refuse"), py::arg("release"))
        .def("enter", &Lifetime::enter, "One more user; raises through refuse(inherited) unless open.")
        .def("share", &Lifetime::share,
             "One more user, handed over by a holder of one (a job left running takes a run's place): never "
             "refused.")
        .def("leave", &Lifetime::leave, py::arg("raising") = false,
             "One user less; the last one of a closing object runs release(raising).")
        .def("close", &Lifetime::close,
             "open: lets no new user in, and releases now (release(True)) when no user is left, else when the last "
             "one leaves. True when released by this call.")
        .def("give_up", &Lifetime::give_up,
             "open or closing: given up at exit; no user is let in, and nothing is released.")
        .def("hold", &Lifetime::hold, py::arg("parent"),
             "Takes a use of `parent`, given back right after this lifetime's release.")
        .def("__enter__", [](Lifetime& life) { life.enter(); })
        .def("__exit__",
             [](Lifetime& life, const py::args&) {
                 life.leave();
                 return false;
             })
        .def_property_readonly("state", [](const Lifetime& life) { return name_of(life.state()); })
        .def_property_readonly("in_flight", &Lifetime::in_flight,
                               "Jobs that have started and not yet ended, as the native calls count them.");
}

}  // namespace aipudrv
