// The function type of the module's methods.
//
// It mirrors a Python function closely enough that inspect, help() and pydoc
// cannot tell the difference: it binds to instances as a descriptor, is called
// through vectorcall with Python's argument rules and messages, and exposes the
// usual dunder attributes plus a `__signature__` built from them.
#pragma once

#include "state.hpp"

#include <source_location>
#include <span>

namespace pef {

struct Function;

// A name as Python code finds it: in `globals`, then in `builtins`; NameError
// when neither has it.
Ref lookup_name(PyObject* globals, PyObject* builtins, PyObject* name);

// What a method body sees: its function object and the module state.
struct Frame {
    Function* fn;
    const Names& n;
    State& st;
    // The raised exception that already carries this call's traceback entry:
    // an exception passing out of a call gets one entry, as from a def's frame.
    mutable Ref traced = {};

    // A module-level name, looked up at each use.
    Ref global(PyObject* name) const;

    // The way out of a failed body: adds this call's traceback entry, naming
    // the method and the source line of the check, and returns nullptr.
    PyObject* fail(std::source_location where = std::source_location::current()) const
    {
        add_traceback(where);
        return nullptr;
    }

    // `except`: the raised exception, taken with this call's entry already on
    // it, as a handler in a def sees it.
    Ref caught(std::source_location where = std::source_location::current()) const
    {
        add_traceback(where);
        return Ref::steal(PyErr_GetRaisedException());
    }

private:
    void add_traceback(std::source_location where) const;
};

// A method body receives its bound parameters in signature order, `self` first,
// borrowed: the caller's references (or the binding's, for defaults) outlive the body.
using MethodBody = PyObject* (*)(const Frame& frame, PyObject* const* args);

struct Annotation {
    const char* param;  // "return" for the return annotation
    const char* text;   // annotations are kept as text
};

struct MethodSpec {
    const char* name;
    const char* doc;                      // nullptr: no docstring
    std::span<const char* const> params;  // positional-or-keyword ones first
    int argcount;                         // positional-or-keyword parameters, self included
    int ndefaults;                        // trailing positional parameters defaulting to None
    std::span<const Annotation> annotations;
    MethodBody body;
};

inline constexpr int kMaxParams = 4;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodSpec* spec;
    PyObject* module;  // the owning module object: its state and namespace
    State* state;      // the module's state, kept for the call path
    PyObject* globals;
    PyObject* builtins;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module_name;
    PyObject* annotations;
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* varnames;  // tuple of interned parameter names
    // The last keyword-name tuple that named every parameter not passed by
    // position, and where each name goes: calls from one call site pass the
    // same tuple each time.
    PyObject* kw_seen;
    Py_ssize_t kw_nargs;
    signed char kw_slot[kMaxParams];
    PyObject* code_name;  // the qualified name tracebacks show, fixed at creation
    PyObject* codes;      // {(file, line): code object} for traceback entries, made on demand
};

extern PyType_Spec function_type_spec;

// A dictionary's version tag: it changes with every change to the dictionary.
inline uint64_t dict_version(PyObject* dict)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

inline Ref Frame::global(PyObject* name) const
{
    for (CachedGlobal& cached : st.globals) {
        if (cached.name != name) {
            continue;
        }
        const uint64_t globals_version = dict_version(fn->globals);
        const uint64_t builtins_version = dict_version(fn->builtins);
        if (cached.value != nullptr && cached.globals_version == globals_version &&
            cached.builtins_version == builtins_version) {
            return Ref::borrow(cached.value);
        }
        Ref value = lookup_name(fn->globals, fn->builtins, name);
        if (value) {
            // Versions from before the look-up: a change it caused is seen next time.
            Py_XSETREF(cached.value, Py_NewRef(value.get()));
            cached.globals_version = globals_version;
            cached.builtins_version = builtins_version;
        }
        return value;
    }
    return lookup_name(fn->globals, fn->builtins, name);
}

// A new method function for the class `class_name` of `module`.
PyObject* function_new(PyObject* module, const char* class_name, const MethodSpec& spec);

// Matches a call to the function's signature as CPython does for a def, with
// the same TypeError messages. On success `locals` (all null on entry) holds
// every parameter; `held` keeps the defaults it used alive.
int bind_arguments(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** locals, Ref* held);

}  // namespace pef
