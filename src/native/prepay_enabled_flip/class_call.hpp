// Calls of the module's two classes.
//
// Python code and the module itself call PrepayEnabledFlipJob(...) once per
// meter. Through `type.__call__` that builds an argument tuple and a keyword
// dict, looks up __init__ and unpacks both again; the classes' own vectorcall
// goes straight to object.__new__ and the module's __init__ while the class is
// as the module made it, and through `type.__call__` otherwise.
#pragma once

#include "state.hpp"

namespace pef {

// Makes `cls`, a class the module just created, callable through the direct
// path.
int class_adopt(PyObject* module, ClassCache& cache, PyObject* cls);

int class_cache_traverse(const ClassCache& cache, visitproc visit, void* arg);
void class_cache_clear(ClassCache& cache);

}  // namespace pef
