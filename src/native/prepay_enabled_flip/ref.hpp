// Owning reference to a Python object.
//
// Move-only: the destructor drops the reference, so an error path is a plain
// `return` and leaks nothing. Ownership is stated where a pointer enters:
// `Ref::steal` for a new reference, `Ref::borrow` for a borrowed one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace pef {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept
    {
        Ref old(std::move(*this));
        obj_ = std::exchange(other.obj_, nullptr);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    static Ref borrow(PyObject* obj) noexcept { return Ref(Py_XNewRef(obj)); }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace pef
