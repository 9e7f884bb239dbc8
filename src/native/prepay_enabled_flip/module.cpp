// The module vaxo_ortane.jobs.prepay_enabled_flip: its top-level code, run once
// per module object by the exec slot, and the module definition.
#include "calls.hpp"
#include "class_call.hpp"
#include "jobs.hpp"

#include <array>

namespace pef {

namespace {

// Module-level code: the module's namespace is its globals.
struct TopLevel {
    PyObject* module;
    PyObject* globals;
    PyObject* builtins;
    const Names& n;

    Ref global(PyObject* name) const { return lookup_name(globals, builtins, name); }

    int bind(PyObject* name, Ref value) const
    {
        return value && PyDict_SetItem(globals, name, value.get()) == 0 ? 0 : -1;
    }

    // import <name>  (binds the top-level package, as Python does)
    int import(PyObject* name, PyObject* as) const
    {
        return bind(
            as, Ref::steal(PyImport_ImportModuleLevelObject(name, globals, globals, nullptr, 0)));
    }

    // from <module> import <name> as <as>, ...
    template <size_t N>
    int import_from(PyObject* module_name, const std::array<PyObject*, N>& names,
                    const std::array<PyObject*, N>& as) const
    {
        Ref fromlist = Ref::steal(PyTuple_New(N));
        if (!fromlist) {
            return -1;
        }
        for (size_t i = 0; i < N; ++i) {
            PyTuple_SET_ITEM(fromlist.get(), static_cast<Py_ssize_t>(i), Py_NewRef(names[i]));
        }
        Ref from = Ref::steal(
            PyImport_ImportModuleLevelObject(module_name, globals, globals, fromlist.get(), 0));
        if (!from) {
            return -1;
        }
        for (size_t i = 0; i < N; ++i) {
            if (bind(as[i], attribute_of(from.get(), names[i])) < 0) {
                return -1;
            }
        }
        return 0;
    }

    // The interpreter's IMPORT_FROM: the attribute, else the submodule, else
    // ImportError naming the module and where it came from.
    static Ref attribute_of(PyObject* from, PyObject* name)
    {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(from, name, &value) != 0) {
            return Ref::steal(value);
        }
        Ref package = Ref::steal(PyObject_GetAttrString(from, "__name__"));
        if (package && PyUnicode_Check(package.get())) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
            Ref submodule = full ? Ref::steal(PyImport_GetModule(full.get())) : Ref();
            if (submodule || PyErr_Occurred()) {
                return submodule;
            }
        }
        PyErr_Clear();
        Ref path = Ref::steal(PyModule_GetFilenameObject(from));
        PyErr_Clear();
        Ref shown = package ? Ref::borrow(package.get())
                            : Ref::steal(PyUnicode_FromString("<unknown module name>"));
        if (!shown) {
            return {};
        }
        const bool located = path && PyUnicode_Check(path.get());
        Ref message =
            located ? Ref::steal(PyUnicode_FromFormat("cannot import name %R from %R (%S)", name,
                                                      shown.get(), path.get()))
                    : Ref::steal(PyUnicode_FromFormat(
                          "cannot import name %R from %R (unknown location)", name, shown.get()));
        if (message) {
            PyErr_SetImportError(message.get(), package.get(), located ? path.get() : nullptr);
        }
        return {};
    }

    // <name> = os.environ.get(<variable>)
    int read_environment(PyObject* name, PyObject* variable) const
    {
        Ref os = global(n.os);
        Ref environ = os ? getattr(os.get(), n.environ) : Ref();
        return bind(name, environ ? call_method(environ.get(), n.get, variable) : Ref());
    }

    // class <name>: the methods, made by type() with no base besides object;
    // `cache` is set up for calls of the class (see class_call.hpp).
    Ref make_class(PyObject* name, std::span<const MethodSpec> methods, ClassCache& cache) const
    {
        Ref ns = Ref::steal(PyDict_New());
        if (!ns || PyDict_SetItem(ns.get(), n.dunder_module, n.module_name) < 0 ||
            PyDict_SetItem(ns.get(), n.dunder_qualname, name) < 0) {
            return {};
        }
        const char* class_name = PyUnicode_AsUTF8(name);
        if (class_name == nullptr) {
            return {};
        }
        for (const MethodSpec& spec : methods) {
            Ref method = Ref::steal(function_new(module, class_name, spec));
            if (!method || PyDict_SetItemString(ns.get(), spec.name, method.get()) < 0) {
                return {};
            }
        }
        Ref bases = Ref::steal(PyTuple_New(0));
        Ref cls = bases
                      ? call(reinterpret_cast<PyObject*>(&PyType_Type), name, bases.get(), ns.get())
                      : Ref();
        return cls && class_adopt(module, cache, cls.get()) == 0 ? std::move(cls) : Ref();
    }
};

// meter_names = [name.strip() for name in meter_names_str.split(",")]
Ref split_names(const TopLevel& t)
{
    Ref text = t.global(t.n.meter_names_str);
    Ref pieces = text ? call_method(text.get(), t.n.split, t.n.comma) : Ref();
    Ref iter = pieces ? Ref::steal(PyObject_GetIter(pieces.get())) : Ref();
    Ref names = iter ? Ref::steal(PyList_New(0)) : Ref();
    if (!names) {
        return {};
    }
    while (Ref piece = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name = call_method(piece.get(), t.n.strip);
        if (!name || PyList_Append(names.get(), name.get()) < 0) {
            return {};
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(names);
}

// if __name__ == "__main__":
//     parser = argparse.ArgumentParser()
//     parser.add_argument("--esco", action="store", help="Flip meters in this ESCO only")
//     args = parser.parse_args()
//     esco = args.esco if hasattr(args, "esco") else None
//     runner = PrepayEnabledFlipAllJob(esco=esco)
//     runner.run()
int command_line(const TopLevel& t)
{
    const Names& n = t.n;
    Ref argparse = t.global(n.argparse);
    if (t.bind(n.parser, argparse ? call_method(argparse.get(), n.ArgumentParser) : Ref()) < 0) {
        return -1;
    }
    Ref parser = t.global(n.parser);
    if (!parser || !call_method_kw(parser.get(), n.add_argument, n.kw_esco_option, n.opt_esco,
                                   n.store, n.esco_help)) {
        return -1;
    }
    parser = t.global(n.parser);
    if (t.bind(n.args, parser ? call_method(parser.get(), n.parse_args) : Ref()) < 0) {
        return -1;
    }
    Ref args = t.global(n.args);
    PyObject* esco = nullptr;
    if (!args || PyObject_GetOptionalAttr(args.get(), n.esco, &esco) < 0) {
        return -1;
    }
    if (t.bind(n.esco, esco != nullptr ? Ref::steal(esco) : Ref::borrow(Py_None)) < 0) {
        return -1;
    }
    Ref job_class = t.global(n.PrepayEnabledFlipAllJob);
    Ref esco_value = job_class ? t.global(n.esco) : Ref();
    if (t.bind(n.runner,
               esco_value ? call_kw(job_class.get(), n.kw_esco, esco_value.get()) : Ref()) < 0) {
        return -1;
    }
    Ref runner = t.global(n.runner);
    return runner && call_method(runner.get(), n.run) ? 0 : -1;
}

// import argparse
// import concurrent.futures
// import os
// import sys
// import traceback
// from typing import Any, Dict
// from vaxo_ortane.orchestrate.adapter.factory import get_instance
// from vaxo_ortane.util.logging import get_logger
// from vaxo_ortane.util.supabase import supa_client
// from vaxo_ortane.mediator.client import OrtaneMediatorClient
// from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException
// from vaxo_ortane.util.supabase import Client as SupabaseClient
//
// logger = get_logger(__name__, __file__)
// supabase_url = os.environ.get("SUPABASE_URL")
// supabase_key = os.environ.get("SUPABASE_ANON_KEY")
// tramu_role_key = os.environ.get("TRAMU_ROLE_KEY")
// meter_names_str = os.environ.get("PREPAY_DISABLED_METER_NAMES")
// if meter_names_str is None:
//     print("ERROR: PREPAY_DISABLED_METER_NAMES not defined")
//     sys.exit(1)
// meter_names = [name.strip() for name in meter_names_str.split(",")]
// meter_names_len = len(meter_names)
//
// class PrepayEnabledFlipJob: ...
// class PrepayEnabledFlipAllJob: ...
//
// if __name__ == "__main__": ...               # command_line
int run_top_level(const TopLevel& t)
{
    const Names& n = t.n;
    using One = std::array<PyObject*, 1>;
    if (t.import(n.argparse, n.argparse) < 0 || t.import(n.concurrent_futures, n.concurrent) < 0 ||
        t.import(n.os, n.os) < 0 || t.import(n.sys, n.sys) < 0 ||
        t.import(n.traceback, n.traceback) < 0 ||
        t.import_from(n.typing, std::array{n.Any, n.Dict}, std::array{n.Any, n.Dict}) < 0 ||
        t.import_from(n.adapter_factory, One{n.get_instance}, One{n.get_instance}) < 0 ||
        t.import_from(n.util_logging, One{n.get_logger}, One{n.get_logger}) < 0 ||
        t.import_from(n.util_supabase, One{n.supa_client}, One{n.supa_client}) < 0 ||
        t.import_from(n.mediator_client, One{n.OrtaneMediatorClient}, One{n.OrtaneMediatorClient}) <
            0 ||
        t.import_from(n.mediator_client_exception, One{n.MediatorClientException},
                      One{n.MediatorClientException}) < 0 ||
        t.import_from(n.util_supabase, One{n.Client}, One{n.SupabaseClient}) < 0) {
        return -1;
    }

    Ref get_logger = t.global(n.get_logger);
    Ref name = get_logger ? t.global(n.dunder_name) : Ref();
    Ref file = name ? t.global(n.dunder_file) : Ref();
    if (t.bind(n.logger, file ? call(get_logger.get(), name.get(), file.get()) : Ref()) < 0) {
        return -1;
    }

    if (t.read_environment(n.supabase_url, n.env_supabase_url) < 0 ||
        t.read_environment(n.supabase_key, n.env_supabase_anon_key) < 0 ||
        t.read_environment(n.tramu_role_key, n.env_tramu_role_key) < 0 ||
        t.read_environment(n.meter_names_str, n.env_meter_names) < 0) {
        return -1;
    }
    Ref names_text = t.global(n.meter_names_str);
    if (!names_text) {
        return -1;
    }
    if (names_text.get() == Py_None) {
        Ref print = t.global(n.print);
        if (!print || !call(print.get(), n.msg_names_missing)) {
            return -1;
        }
        Ref sys = t.global(n.sys);
        Ref status = sys ? Ref::steal(PyLong_FromLong(1)) : Ref();
        if (!status || !call_method(sys.get(), n.exit, status.get())) {
            return -1;
        }
    }

    if (t.bind(n.meter_names, split_names(t)) < 0) {
        return -1;
    }
    Ref names = t.global(n.meter_names);
    const Py_ssize_t count = names ? PyObject_Size(names.get()) : -1;
    if (count < 0 || t.bind(n.meter_names_len, Ref::steal(PyLong_FromSsize_t(count))) < 0) {
        return -1;
    }

    State& st = state_of(t.module);
    if (t.bind(n.PrepayEnabledFlipJob,
               t.make_class(n.PrepayEnabledFlipJob, flip_job_methods(), st.flip_job)) < 0 ||
        t.bind(n.PrepayEnabledFlipAllJob,
               t.make_class(n.PrepayEnabledFlipAllJob, flip_all_job_methods(), st.fleet_job)) < 0) {
        return -1;
    }

    Ref module_name = t.global(n.dunder_name);
    const int is_main =
        module_name ? PyObject_RichCompareBool(module_name.get(), n.dunder_main, Py_EQ) : -1;
    if (is_main < 0) {
        return -1;
    }
    return is_main ? command_line(t) : 0;
}

int module_exec(PyObject* module)
{
    State& st = state_of(module);
    if (names_init(st.n) < 0 || (st.empty_tuple = PyTuple_New(0)) == nullptr) {
        return -1;
    }
    // Every function of a module object shares its namespace and builtins.
    const std::array<PyObject*, kCachedGlobals> per_meter{st.n.logger, st.n.OrtaneMediatorClient,
                                                          st.n.PrepayEnabledFlipJob};
    for (int i = 0; i < kCachedGlobals; ++i) {
        st.globals[i] = {per_meter[i], nullptr, 0, 0};
    }
    st.function_type = reinterpret_cast<PyTypeObject*>(
        PyType_FromModuleAndSpec(module, &function_type_spec, nullptr));
    if (st.function_type == nullptr) {
        return -1;
    }
    Ref builtins = Ref::steal(PyEval_GetFrameBuiltins());
    if (!builtins) {
        return -1;
    }
    const TopLevel top{module, PyModule_GetDict(module), builtins.get(), st.n};
    return run_top_level(top);
}

int module_traverse(PyObject* module, visitproc visit, void* arg)
{
    State& st = state_of(module);
    Py_VISIT(st.function_type);
    Py_VISIT(st.empty_tuple);
    for (const CachedGlobal& cached : st.globals) {
        Py_VISIT(cached.value);
    }
    if (const int err = class_cache_traverse(st.flip_job, visit, arg)) {
        return err;
    }
    if (const int err = class_cache_traverse(st.fleet_job, visit, arg)) {
        return err;
    }
    return names_traverse(st.n, visit, arg);
}

int module_clear(PyObject* module)
{
    State& st = state_of(module);
    Py_CLEAR(st.function_type);
    Py_CLEAR(st.empty_tuple);
    for (CachedGlobal& cached : st.globals) {
        Py_CLEAR(cached.value);
    }
    class_cache_clear(st.flip_job);
    class_cache_clear(st.fleet_job);
    names_clear(st.n);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

// clang-format off: one field a line, in the order PyModuleDef declares them
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "prepay_enabled_flip",
    nullptr,
    sizeof(State),
    nullptr,
    module_slots,
    module_traverse,
    module_clear,
    module_free,
};
// clang-format on

}  // namespace

}  // namespace pef

PyMODINIT_FUNC PyInit_prepay_enabled_flip(void) { return PyModuleDef_Init(&pef::module_def); }
