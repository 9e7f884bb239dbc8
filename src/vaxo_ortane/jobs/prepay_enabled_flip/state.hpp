// Per-module state: everything a module object keeps lives here, so that two
// module objects (or two interpreters) share nothing.
#pragma once

#include "names.hpp"

namespace pef {

struct State {
    PyTypeObject* function_type;
    Names n;
};

inline State& state_of(PyObject* module)
{
    return *static_cast<State*>(PyModule_GetState(module));
}

}  // namespace pef
