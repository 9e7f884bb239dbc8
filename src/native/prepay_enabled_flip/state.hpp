// Per-module state: everything a module object keeps lives here, so that two
// module objects (or two interpreters) share nothing.
#pragma once

#include "names.hpp"

namespace pef {

// One of the module's classes, and what calling it may skip. While the class
// keeps the version tag it had when checked, and the check found it as made
// (object's __new__, the module's __init__, generic attribute access), a call is object.__new__
// then that __init__, with no argument tuple or dict in between.
struct ClassCache {
    PyTypeObject* cls;
    PyObject* init;        // the __init__ made with the class
    PyObject* init_name;   // borrowed from Names
    unsigned int version;  // tp_version_tag when last checked; 0: not checked
    bool direct;           // the check's verdict for that version
};

// A module-level name read once or more per meter, with the versions of the
// module's namespace and of builtins when it was read: any change to either
// dictionary gives it a new version, so a rebinding is seen by the next use.
struct CachedGlobal {
    PyObject* name;   // borrowed from Names
    PyObject* value;  // nullptr: not read yet
    uint64_t globals_version;
    uint64_t builtins_version;
};

inline constexpr int kCachedGlobals = 3;

struct State {
    PyTypeObject* function_type;
    CachedGlobal globals[kCachedGlobals];
    PyObject* empty_tuple;
    ClassCache flip_job;
    ClassCache fleet_job;
    Names n;
};

inline State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

}  // namespace pef
