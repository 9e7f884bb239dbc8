// Small wrappers over the vectorcall API, returning owning references.
#pragma once

#include "ref.hpp"

namespace pef {

// callable(*args)
template <typename... Args>
Ref call(PyObject* callable, Args... args)
{
    PyObject* stack[] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(
        callable, stack + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values))): the last
// len(kwnames) arguments are the keyword values.
template <typename... Args>
Ref call_kw(PyObject* callable, PyObject* kwnames, Args... args)
{
    PyObject* stack[] = {nullptr, args...};
    const size_t npos = sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        PyObject_Vectorcall(callable, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args)
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args)
{
    PyObject* stack[] = {nullptr, obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack + 1, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*positional, **keywords), keyword values last as in call_kw.
template <typename... Args>
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* kwnames, Args... args)
{
    PyObject* stack[] = {nullptr, obj, args...};
    const size_t npos = 1 + sizeof...(Args) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return Ref::steal(
        PyObject_VectorcallMethod(name, stack + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// PyObject_GetAttr and PyObject_SetAttr for the module's names, which are
// interned strings already: the type's own hook, without the checks and the
// interning those make of any name. A failed look-up gets the AttributeError's
// `name` and `obj` as PyObject_GetAttr gives them (tracebacks read them for
// "Did you mean" hints).
inline Ref getattr(PyObject* obj, PyObject* name)
{
    getattrofunc get = Py_TYPE(obj)->tp_getattro;
    if (get == nullptr) {
        return Ref::steal(PyObject_GetAttr(obj, name));
    }
    PyObject* value = get(obj, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        auto* error = reinterpret_cast<PyAttributeErrorObject*>(exc.get());
        if (PyErr_GivenExceptionMatches(exc.get(), PyExc_AttributeError) &&
            error->name == nullptr && error->obj == nullptr &&
            (PyObject_SetAttrString(exc.get(), "name", name) < 0 ||
             PyObject_SetAttrString(exc.get(), "obj", obj) < 0)) {
            return {};
        }
        PyErr_SetRaisedException(exc.release());
    }
    return Ref::steal(value);
}

inline int setattr(PyObject* obj, PyObject* name, PyObject* value)
{
    setattrofunc set = Py_TYPE(obj)->tp_setattro;
    return set != nullptr ? set(obj, name, value) : PyObject_SetAttr(obj, name, value);
}

inline Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

// `self.attr.method(*args)`; the result is dropped, failure reported as -1.
template <typename... Args>
int call_on_attr(PyObject* self, PyObject* attr, PyObject* method, Args... args)
{
    Ref target = getattr(self, attr);
    return target && call_method(target.get(), method, args...) ? 0 : -1;
}

// The span of an `except` clause: while it lives, the caught exception is the
// one being handled, so an exception raised in the handler gets it as its
// __context__, exactly as in Python.
class Handling {
public:
    explicit Handling(PyObject* exc) : outer_(Ref::steal(PyErr_GetHandledException()))
    {
        PyErr_SetHandledException(exc);
    }
    ~Handling() { PyErr_SetHandledException(outer_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref outer_;
};

}  // namespace pef
