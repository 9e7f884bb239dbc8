// What the two job classes share: writing records through `self.log`, and
// Python's `except` matching.
#pragma once

#include "calls.hpp"
#include "function.hpp"

namespace pef {

// `except cls` for the raised exception `exc`: 1 when it matches, 0 when not,
// -1 (TypeError) when `cls` is no exception class, as the interpreter says.
inline int exception_matches(PyObject* exc, PyObject* cls)
{
    bool valid = PyExceptionClass_Check(cls);
    if (PyTuple_Check(cls)) {
        valid = true;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
            valid = valid && PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i));
        }
    }
    if (!valid) {
        PyErr_SetString(PyExc_TypeError,
                        "catching classes that do not inherit from BaseException is not allowed");
        return -1;
    }
    return PyErr_GivenExceptionMatches(exc, cls);
}

// self.log.error(message, error=exc, exception=traceback.format_exception(exc))
inline int log_failure(const Frame& f, PyObject* self, PyObject* message, PyObject* exc)
{
    Ref log = getattr(self, f.n.log);
    Ref error = log ? getattr(log.get(), f.n.error) : Ref();
    Ref traceback = error ? f.global(f.n.traceback) : Ref();
    Ref lines = traceback ? call_method(traceback.get(), f.n.format_exception, exc) : Ref();
    return lines && call_kw(error.get(), f.n.kw_failure_fields, message, exc, lines.get()) ? 0 : -1;
}

// f"{prefix}{value}"
inline Ref join_formatted(const Frame& f, PyObject* prefix, PyObject* value)
{
    Ref text = Ref::steal(PyObject_Format(value, f.n.empty));
    return text ? Ref::steal(PyUnicode_Concat(prefix, text.get())) : Ref();
}

// self.log.<level>(<message made by make()>)
//
// As in Python, the logger's method is read before the message is built, so a
// missing logger is reported ahead of a message that cannot be formatted.
template <typename MakeMessage>
int log_built(const Frame& f, PyObject* self, PyObject* level, MakeMessage make)
{
    Ref log = getattr(self, f.n.log);
    Ref method = log ? getattr(log.get(), level) : Ref();
    Ref message = method ? make() : Ref();
    return message && call(method.get(), message.get()) ? 0 : -1;
}

// self.log.<level>(f"{prefix}{value}")
inline int log_formatted(const Frame& f, PyObject* self, PyObject* level, PyObject* prefix,
                         PyObject* value)
{
    return log_built(f, self, level, [&] { return join_formatted(f, prefix, value); });
}

}  // namespace pef
