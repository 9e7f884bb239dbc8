// Argument binding for the module's methods, following CPython's own binding
// of a call to a def (Python/ceval.c, initialize_locals): same order of checks,
// same messages. The methods have no *args, **kwargs or positional-only
// parameters, so those branches are absent.
#include "function.hpp"

#include <algorithm>

namespace pef {

namespace {

// "f() missing 2 required keyword-only arguments: 'a' and 'b'"
void format_missing(PyObject* qualname, const char* kind, PyObject* names)
{
    const Py_ssize_t len = PyList_GET_SIZE(names);
    Ref name_str;
    switch (len) {
    case 1:
        name_str = Ref::borrow(PyList_GET_ITEM(names, 0));
        break;
    case 2:
        name_str = Ref::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0),
                                                   PyList_GET_ITEM(names, 1)));
        break;
    default: {
        Ref tail = Ref::steal(PyUnicode_FromFormat(", %U, and %U", PyList_GET_ITEM(names, len - 2),
                                                   PyList_GET_ITEM(names, len - 1)));
        if (!tail || PyList_SetSlice(names, len - 2, len, nullptr) < 0) {
            return;
        }
        Ref comma = Ref::steal(PyUnicode_FromString(", "));
        if (!comma) {
            return;
        }
        Ref head = Ref::steal(PyUnicode_Join(comma.get(), names));
        if (!head) {
            return;
        }
        name_str = Ref::steal(PyUnicode_Concat(head.get(), tail.get()));
        break;
    }
    }
    if (!name_str) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", qualname,
                 static_cast<int>(len), kind, len == 1 ? "" : "s", name_str.get());
}

void missing_arguments(Function* fn, Py_ssize_t start, Py_ssize_t end, const char* kind,
                       PyObject* const* locals)
{
    Ref names = Ref::steal(PyList_New(0));
    if (!names) {
        return;
    }
    for (Py_ssize_t i = start; i < end; ++i) {
        if (locals[i] == nullptr) {
            Ref name = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(fn->varnames, i)));
            if (!name || PyList_Append(names.get(), name.get()) < 0) {
                return;
            }
        }
    }
    format_missing(fn->qualname, kind, names.get());
}

void too_many_positional(Function* fn, Py_ssize_t given, PyObject* const* locals)
{
    const Py_ssize_t argcount = fn->spec->argcount;
    const Py_ssize_t total = PyTuple_GET_SIZE(fn->varnames);
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = argcount; i < total; ++i) {
        kwonly_given += locals[i] != nullptr ? 1 : 0;
    }
    const Py_ssize_t defcount = fn->defaults != nullptr ? PyTuple_GET_SIZE(fn->defaults) : 0;
    bool plural = false;
    Ref sig;
    if (defcount != 0) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", argcount - defcount, argcount));
    } else {
        plural = argcount != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", argcount));
    }
    if (!sig) {
        return;
    }
    Ref kwonly_sig = kwonly_given != 0
                         ? Ref::steal(PyUnicode_FromFormat(
                               " positional argument%s (and %zd keyword-only argument%s)",
                               given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                         : Ref::steal(PyUnicode_FromString(""));
    if (!kwonly_sig) {
        return;
    }
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 fn->qualname, sig.get(), plural ? "s" : "", given, kwonly_sig.get(),
                 given == 1 && kwonly_given == 0 ? "was" : "were");
}

// The interpreter's near-miss suggestion for a misspelt keyword; none when it
// cannot be computed.
Ref suggest_keyword(Function* fn, PyObject* keyword)
{
    Ref candidates = Ref::steal(PySequence_List(fn->varnames));
    Ref suggestions = Ref::steal(PyImport_ImportModule("_suggestions"));
    Ref found;
    if (candidates && suggestions) {
        found = Ref::steal(PyObject_CallMethod(suggestions.get(), "_generate_suggestions", "OO",
                                               candidates.get(), keyword));
    }
    if (!found || found.get() == Py_None) {
        PyErr_Clear();
        return {};
    }
    return found;
}

void unexpected_keyword(Function* fn, PyObject* keyword)
{
    Ref suggestion = suggest_keyword(fn, keyword);
    if (suggestion) {
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     fn->qualname, keyword, suggestion.get());
    } else {
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", fn->qualname,
                     keyword);
    }
}

// Index of the parameter named `keyword`; -1 when there is none, -2 on error.
Py_ssize_t find_parameter(Function* fn, PyObject* keyword)
{
    const Py_ssize_t total = PyTuple_GET_SIZE(fn->varnames);
    for (Py_ssize_t j = 0; j < total; ++j) {
        if (PyTuple_GET_ITEM(fn->varnames, j) == keyword) {
            return j;
        }
    }
    for (Py_ssize_t j = 0; j < total; ++j) {
        const int cmp = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(fn->varnames, j), Py_EQ);
        if (cmp != 0) {
            return cmp > 0 ? j : -2;
        }
    }
    return -1;
}

}  // namespace

int bind_arguments(Function* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** locals, Ref* held)
{
    const Py_ssize_t argcount = fn->spec->argcount;
    const Py_ssize_t total = PyTuple_GET_SIZE(fn->varnames);

    const Py_ssize_t n = std::min(nargs, argcount);
    for (Py_ssize_t j = 0; j < n; ++j) {
        locals[j] = args[j];
    }

    const Py_ssize_t kwcount = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < kwcount; ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
            return -1;
        }
        const Py_ssize_t j = find_parameter(fn, keyword);
        if (j == -2) {
            return -1;
        }
        if (j == -1) {
            unexpected_keyword(fn, keyword);
            return -1;
        }
        if (locals[j] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         fn->qualname, keyword);
            return -1;
        }
        locals[j] = args[nargs + i];
    }

    if (nargs > argcount) {
        too_many_positional(fn, nargs, locals);
        return -1;
    }

    if (nargs < argcount) {
        // Held for the loop: a call made meanwhile could replace __defaults__.
        Ref defaults = Ref::borrow(fn->defaults);
        const Py_ssize_t defcount = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
        const Py_ssize_t m = argcount - defcount;
        for (Py_ssize_t i = nargs; i < m; ++i) {
            if (locals[i] == nullptr) {
                missing_arguments(fn, 0, m, "positional", locals);
                return -1;
            }
        }
        for (Py_ssize_t i = std::max<Py_ssize_t>(n - m, 0); i < defcount; ++i) {
            if (locals[m + i] == nullptr) {
                held[m + i] = Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i));
                locals[m + i] = held[m + i].get();
            }
        }
    }

    bool missing_kwonly = false;
    for (Py_ssize_t i = argcount; i < total; ++i) {
        if (locals[i] != nullptr) {
            continue;
        }
        if (fn->kwdefaults != nullptr) {
            PyObject* value = nullptr;
            if (PyDict_GetItemRef(fn->kwdefaults, PyTuple_GET_ITEM(fn->varnames, i), &value) < 0) {
                return -1;
            }
            if (value != nullptr) {
                held[i] = Ref::steal(value);
                locals[i] = value;
                continue;
            }
        }
        missing_kwonly = true;
    }
    if (missing_kwonly) {
        missing_arguments(fn, argcount, total, "keyword-only", locals);
        return -1;
    }
    return 0;
}

}  // namespace pef
