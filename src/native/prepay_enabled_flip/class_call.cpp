#include "class_call.hpp"

#include "function.hpp"

#include <algorithm>

namespace pef {

namespace {

// Arguments the direct path passes on the stack: self plus up to this many.
constexpr Py_ssize_t kDirectArgs = 7;

ClassCache* cache_of(PyTypeObject* cls)
{
    PyObject* module = reinterpret_cast<PyHeapTypeObject*>(cls)->ht_module;
    if (module == nullptr) {
        return nullptr;
    }
    State& st = state_of(module);
    ClassCache* cache = st.flip_job.cls == cls    ? &st.flip_job
                        : st.fleet_job.cls == cls ? &st.fleet_job
                                                  : nullptr;
    return cache;
}

// `name` in the class's own namespace is `expected`.
bool own_attribute_is(PyTypeObject* cls, PyObject* name, PyObject* expected)
{
    Ref dict = Ref::steal(PyType_GetDict(cls));
    PyObject* found = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), name, &found) < 0) {
        PyErr_Clear();  // only a verdict is wanted: the slow path reports errors itself
        return false;
    }
    Ref held = Ref::steal(found);
    return found == expected;
}

// Whether the class is still as made, rechecked when its version tag changed
// (any assignment to it or its bases changes the tag).
bool is_direct(ClassCache& cache)
{
    PyTypeObject* cls = cache.cls;
    if (cls->tp_version_tag != 0 && cls->tp_version_tag == cache.version) {
        return cache.direct;
    }
    cache.version = 0;
    if (!PyUnstable_Type_AssignVersionTag(cls)) {
        return cache.direct = false;
    }
    cache.direct = cls->tp_new == PyBaseObject_Type.tp_new &&
                   !PyType_HasFeature(cls, Py_TPFLAGS_IS_ABSTRACT) &&
                   cls->tp_getattro == PyObject_GenericGetAttr &&
                   cls->tp_setattro == PyObject_GenericSetAttr &&
                   own_attribute_is(cls, cache.init_name, cache.init);
    cache.version = cls->tp_version_tag;
    return cache.direct;
}

// type.__call__(cls, *args, **kwargs), for classes not as made.
PyObject* call_through_type(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames)
{
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return nullptr;
            }
        }
    }
    return PyType_Type.tp_call(cls, positional.get(), keywords.get());
}

PyObject* construct(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    PyTypeObject* cls = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    ClassCache* cache = cache_of(cls);
    if (cache == nullptr || total > kDirectArgs || !is_direct(*cache)) {
        return call_through_type(callable, args, nargs, kwnames);
    }
    // What type.__call__ does for such a class: object.__new__ with no
    // arguments to check, then __init__, which must return None.
    State& st = state_of(reinterpret_cast<PyHeapTypeObject*>(cls)->ht_module);
    Ref self = Ref::steal(cls->tp_new(cls, st.empty_tuple, nullptr));
    if (!self) {
        return nullptr;
    }
    PyObject* stack[kDirectArgs + 1];
    stack[0] = self.get();
    std::copy(args, args + total, stack + 1);
    Function* init = reinterpret_cast<Function*>(cache->init);
    Ref result =
        Ref::steal(init->vectorcall(cache->init, stack, static_cast<size_t>(nargs + 1), kwnames));
    if (!result) {
        return nullptr;
    }
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'",
                     Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

// Counted towards the recursion limit, as the interpreter counts a call of
// `type.__call__`.
PyObject* class_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames)
{
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = construct(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

int class_adopt(PyObject* module, ClassCache& cache, PyObject* cls)
{
    const Names& n = state_of(module).n;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_Check(cls) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        Py_TYPE(cls) != &PyType_Type) {
        PyErr_SetString(PyExc_SystemError, "a class of the module is not a plain heap type");
        return -1;
    }
    // The owning module, as for a class made from a spec: type_dealloc and
    // type_traverse already handle this reference.
    PyHeapTypeObject* heap = reinterpret_cast<PyHeapTypeObject*>(cls);
    Py_XSETREF(heap->ht_module, Py_NewRef(module));
    Ref dict = Ref::steal(PyType_GetDict(type));
    PyObject* init = nullptr;
    if (!dict || PyDict_GetItemRef(dict.get(), n.dunder_init, &init) <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "a class of the module lacks its methods");
        }
        return -1;
    }
    cache.cls = reinterpret_cast<PyTypeObject*>(Py_NewRef(cls));
    cache.init = init;
    cache.init_name = n.dunder_init;
    cache.version = 0;
    cache.direct = false;
    // Not inherited: subclasses go through type.__call__.
    type->tp_vectorcall = class_vectorcall;
    return 0;
}

int class_cache_traverse(const ClassCache& cache, visitproc visit, void* arg)
{
    Py_VISIT(cache.cls);
    Py_VISIT(cache.init);
    return 0;
}

void class_cache_clear(ClassCache& cache)
{
    Py_CLEAR(cache.cls);
    Py_CLEAR(cache.init);
    cache.init_name = nullptr;
    cache.version = 0;
    cache.direct = false;
}

}  // namespace pef
