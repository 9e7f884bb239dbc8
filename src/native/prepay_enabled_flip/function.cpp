#include "function.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstddef>

namespace pef {

Ref lookup_name(PyObject* globals, PyObject* builtins, PyObject* name)
{
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found == 0) {
        found = PyDict_GetItemRef(builtins, name, &value);
    }
    if (found == 0) {
        // As the interpreter does: the message, and the name on the exception.
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        Ref exc = Ref::steal(PyErr_GetRaisedException());
        if (PyObject_SetAttrString(exc.get(), "name", name) == 0) {
            PyErr_SetRaisedException(exc.release());
        }
    }
    return Ref::steal(value);
}

namespace {

// An empty code object named after the method and located at file:line, one
// per place, kept for the next failure there.
Ref code_at(Function* fn, const std::source_location& where)
{
    if (fn->codes == nullptr && (fn->codes = PyDict_New()) == nullptr) {
        return {};
    }
    Ref key = Ref::steal(Py_BuildValue("(sI)", where.file_name(), where.line()));
    if (!key) {
        return {};
    }
    PyObject* cached = nullptr;
    const int found = PyDict_GetItemRef(fn->codes, key.get(), &cached);
    if (found != 0) {
        return Ref::steal(cached);
    }
    const char* name = PyUnicode_AsUTF8(fn->code_name);
    Ref code = name != nullptr ? Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(
                                     where.file_name(), name, static_cast<int>(where.line()))))
                               : Ref();
    if (!code || PyDict_SetItem(fn->codes, key.get(), code.get()) < 0) {
        return {};
    }
    return code;
}

}  // namespace

void Frame::add_traceback(std::source_location where) const
{
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (!exc || exc.get() == traced.get()) {
        PyErr_SetRaisedException(exc.release());
        return;
    }
    Ref code = code_at(fn, where);
    Ref frame = code ? Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
                           PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                           fn->globals, nullptr)))
                     : Ref();
    if (!frame) {
        // No entry, as when the interpreter runs out of memory making one: the
        // new error is raised, with the one being traced as its context.
        Ref error = Ref::steal(PyErr_GetRaisedException());
        PyException_SetContext(error.get(), exc.release());
        PyErr_SetRaisedException(error.release());
        return;
    }
    traced = Ref::borrow(exc.get());
    PyErr_SetRaisedException(exc.release());
    // On failure the interpreter's own MemoryError is raised instead, chained.
    (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

namespace {

Function* as_function(PyObject* self) { return reinterpret_cast<Function*>(self); }

// Keeps a call's keyword-name tuple for the next call from the same site, when
// together with `nargs` positional arguments it names every parameter, each
// keyword being the parameter's own interned name.
void remember_keywords(Function* fn, Py_ssize_t nargs, PyObject* kwnames)
{
    const Py_ssize_t total = PyTuple_GET_SIZE(fn->varnames);
    if (kwnames == nullptr || nargs + PyTuple_GET_SIZE(kwnames) != total) {
        return;
    }
    signed char slots[kMaxParams];
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
        Py_ssize_t j = nargs;
        while (j < total && PyTuple_GET_ITEM(fn->varnames, j) != keyword) {
            ++j;
        }
        if (j == total) {
            return;
        }
        slots[i] = static_cast<signed char>(j);
    }
    Py_XSETREF(fn->kw_seen, Py_NewRef(kwnames));
    fn->kw_nargs = nargs;
    std::copy(slots, slots + PyTuple_GET_SIZE(kwnames), fn->kw_slot);
}

// Counted towards the recursion limit, as a call through the interpreter is:
// a collaborator rebound to one of the module's classes (or calling back into
// them) then ends in RecursionError instead of overflowing the C stack.
PyObject* run_body(const Frame& frame, PyObject* const* args)
{
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return nullptr;
    }
    PyObject* result = frame.fn->spec->body(frame, args);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames)
{
    Function* fn = as_function(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Frame frame{fn, fn->state->n, *fn->state};
    // Every parameter passed by position, as the module's own calls do.
    if ((kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) && nargs == fn->spec->argcount &&
        static_cast<size_t>(nargs) == fn->spec->params.size()) {
        return run_body(frame, args);
    }
    PyObject* locals[kMaxParams] = {};
    if (kwnames != nullptr && kwnames == fn->kw_seen && nargs == fn->kw_nargs) {
        std::copy(args, args + nargs, locals);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            locals[fn->kw_slot[i]] = args[nargs + i];
        }
        return run_body(frame, locals);
    }
    Ref held[kMaxParams];
    if (bind_arguments(fn, args, nargs, kwnames, locals, held) < 0) {
        return nullptr;
    }
    remember_keywords(fn, nargs, kwnames);
    return run_body(frame, locals);
}

// def __get__(self, obj, type=None): return self if obj is None else MethodType(self, obj)
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self)
{
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg)
{
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->module);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->name);
    Py_VISIT(fn->qualname);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->module_name);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->kwdefaults);
    Py_VISIT(fn->varnames);
    Py_VISIT(fn->kw_seen);
    Py_VISIT(fn->code_name);
    Py_VISIT(fn->codes);
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self)
{
    Function* fn = as_function(self);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->module_name);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->kwdefaults);
    Py_CLEAR(fn->varnames);
    Py_CLEAR(fn->kw_seen);
    Py_CLEAR(fn->code_name);
    Py_CLEAR(fn->codes);
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PyObject_ClearWeakRefs(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Attributes that a def lets Python code replace, with the same checks.
int set_str(PyObject** slot, PyObject* value, const char* attr)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attr);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_optional(PyObject** slot, PyObject* value, int (*check)(PyObject*), const char* message)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    Py_XSETREF(*slot, Py_XNewRef(value));
    return 0;
}

int is_dict(PyObject* value) { return PyDict_Check(value); }
int is_tuple(PyObject* value) { return PyTuple_Check(value); }

PyObject* get_or_none(PyObject* value) { return Py_NewRef(value != nullptr ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*)
{
    return set_str(&as_function(self)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*)
{
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return get_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*)
{
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*)
{
    Function* fn = as_function(self);
    if (fn->annotations == nullptr && (fn->annotations = PyDict_New()) == nullptr) {
        return nullptr;
    }
    return Py_NewRef(fn->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_function(self)->annotations, value, is_dict,
                        "__annotations__ must be set to a dict object");
}

PyObject* get_defaults(PyObject* self, void*) { return get_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_function(self)->defaults, value, is_tuple,
                        "__defaults__ must be set to a tuple object");
}

PyObject* get_kwdefaults(PyObject* self, void*)
{
    return get_or_none(as_function(self)->kwdefaults);
}
int set_kwdefaults(PyObject* self, PyObject* value, void*)
{
    return set_optional(&as_function(self)->kwdefaults, value, is_dict,
                        "__kwdefaults__ must be set to a dict object");
}

// What inspect derives from a def's code object, built from the current
// defaults and annotations:
//     Signature([Parameter(name, kind, default=..., annotation=...), ...],
//               return_annotation=annotations.get("return", Signature.empty))
PyObject* get_signature(PyObject* self, void*)
{
    Function* fn = as_function(self);
    const MethodSpec& spec = *fn->spec;
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter || !signature) {
        return nullptr;
    }
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
    Ref positional = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref keyword_only = Ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"));
    Ref kwnames = Ref::steal(Py_BuildValue("(ss)", "default", "annotation"));
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    if (!empty || !positional || !keyword_only || !kwnames || !annotations) {
        return nullptr;
    }
    auto lookup = [&](PyObject* dict, PyObject* key) -> Ref {
        PyObject* value = nullptr;
        if (dict != nullptr && PyDict_GetItemRef(dict, key, &value) < 0) {
            return {};
        }
        return value != nullptr ? Ref::steal(value) : Ref::borrow(empty.get());
    };

    const Py_ssize_t total = PyTuple_GET_SIZE(fn->varnames);
    const Py_ssize_t ndefaults = fn->defaults != nullptr ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t first_default = spec.argcount - ndefaults;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* pname = PyTuple_GET_ITEM(fn->varnames, i);
        const bool is_positional = i < spec.argcount;
        Ref deflt = !is_positional ? lookup(fn->kwdefaults, pname)
                    : i >= first_default
                        ? Ref::borrow(PyTuple_GET_ITEM(fn->defaults, i - first_default))
                        : Ref::borrow(empty.get());
        Ref annotation = lookup(annotations.get(), pname);
        if (!deflt || !annotation) {
            return nullptr;
        }
        PyObject* stack[] = {nullptr, pname, is_positional ? positional.get() : keyword_only.get(),
                             deflt.get(), annotation.get()};
        Ref param = Ref::steal(PyObject_Vectorcall(
            parameter.get(), stack + 1, size_t{2} | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0) {
            return nullptr;
        }
    }
    Ref return_key = Ref::steal(PyUnicode_InternFromString("return"));
    if (!return_key) {
        return nullptr;
    }
    Ref return_annotation = lookup(annotations.get(), return_key.get());
    if (!return_annotation) {
        return nullptr;
    }
    PyObject* stack[] = {nullptr, params.get(), return_annotation.get()};
    Ref return_kw = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
    if (!return_kw) {
        return nullptr;
    }
    return PyObject_Vectorcall(signature.get(), stack + 1,
                               size_t{1} | PY_VECTORCALL_ARGUMENTS_OFFSET, return_kw.get());
}

// Copied as itself and pickled by reference, as a def is: the qualified name,
// which pickle resolves through the module named by __module__.
PyObject* function_reduce(PyObject* self, PyObject*)
{
    return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module_name), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyType_Spec function_type_spec = {
    "vaxo_ortane.jobs.prepay_enabled_flip.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

PyObject* function_new(PyObject* module, const char* class_name, const MethodSpec& spec)
{
    State& st = state_of(module);
    PyTypeObject* type = st.function_type;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    Function* fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->module = Py_NewRef(module);
    fn->state = &st;
    fn->globals = Py_NewRef(PyModule_GetDict(module));
    fn->module_name = Py_NewRef(st.n.module_name);
    if ((fn->builtins = PyEval_GetFrameBuiltins()) == nullptr ||
        (fn->name = PyUnicode_InternFromString(spec.name)) == nullptr ||
        (fn->qualname = PyUnicode_FromFormat("%s.%s", class_name, spec.name)) == nullptr ||
        (fn->code_name = Py_NewRef(fn->qualname)) == nullptr ||
        (fn->annotations = PyDict_New()) == nullptr ||
        (fn->varnames = PyTuple_New(static_cast<Py_ssize_t>(spec.params.size()))) == nullptr) {
        return nullptr;
    }
    if (spec.doc != nullptr && (fn->doc = PyUnicode_FromString(spec.doc)) == nullptr) {
        return nullptr;
    }
    for (size_t i = 0; i < spec.params.size(); ++i) {
        PyObject* pname = PyUnicode_InternFromString(spec.params[i]);
        if (pname == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(fn->varnames, static_cast<Py_ssize_t>(i), pname);
    }
    for (const Annotation& a : spec.annotations) {
        Ref text = Ref::steal(PyUnicode_FromString(a.text));
        if (!text || PyDict_SetItemString(fn->annotations, a.param, text.get()) < 0) {
            return nullptr;
        }
    }
    if (spec.ndefaults > 0) {
        if ((fn->defaults = PyTuple_New(spec.ndefaults)) == nullptr) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < spec.ndefaults; ++i) {
            PyTuple_SET_ITEM(fn->defaults, i, Py_NewRef(Py_None));
        }
    }
    return self.release();
}

}  // namespace pef
