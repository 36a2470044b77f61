// Owning handle for a strong reference, shared by both extensions.
//
// Every new reference lives in one of these, so an error path is just `return nullptr;`
// with the exception set: the destructors drop what the call had built.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestrim {

class PyRef {
public:
    PyRef() noexcept = default;
    // Takes ownership of a new reference (nullptr allowed: it signals a pending exception).
    explicit PyRef(PyObject* owned) noexcept : p_(owned) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }

    // A new strong reference to a borrowed object.
    static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands ownership to the caller (usually the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* owned = nullptr) noexcept {
        PyObject* old = std::exchange(p_, owned);
        Py_XDECREF(old);
    }

private:
    PyObject* p_ = nullptr;
};

}  // namespace kestrim
