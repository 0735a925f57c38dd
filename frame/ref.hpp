// ref.hpp - Ref, the one owned-reference type of the native modules.
#pragma once

#include "compat.hpp"

#include <utility>

namespace frame {

// A strong reference that is released when it goes out of scope.
//
// The named constructors say which way ownership goes: `steal` takes over a
// new reference (the result of almost every C API call that returns one),
// `borrow` adds a reference of its own to a borrowed pointer. There is no
// implicit conversion to PyObject*: `get()` lends the pointer, `release()`
// hands the reference on. Every error path therefore drops what it holds by
// construction.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* p) noexcept { return Ref(p); }
  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // Drops the current reference after the new one is in place, so that a
  // destructor run by the drop never sees a dangling field.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = p_;
    p_ = stolen;
    Py_XDECREF(old);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Replaces a strong field with a new strong reference, releasing the old one
// last (the field is valid again before any destructor can run).
inline void set_field(PyObject*& field, PyObject* stolen) noexcept {
  PyObject* old = field;
  field = stolen;
  Py_XDECREF(old);
}

}  // namespace frame
