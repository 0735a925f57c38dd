// dict_walk.cpp - the walk over a dict argument's entries or values.
#include <utility>

#include "frame.hpp"

namespace frame {

int DictWalk::start(PyObject* d) noexcept {
  if (PyDict_CheckExact(d)) {
    dict_ = d;
    pos_ = 0;
    size_ = PyDict_GET_SIZE(d);
    left_ = size_;
    return 0;
  }
  PyObject* name = kind_ == Kind::kItems ? m_->s.items : m_->s.values;
  PyObject* args[] = {nullptr, d};
  Ref result = Ref::steal(
      PyObject_VectorcallMethod(name, args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) return -1;
  if (PyTuple_CheckExact(result.get()) || PyList_CheckExact(result.get())) {
    seq_ = std::move(result);
    index_ = 0;
    return 0;
  }
  iter_ = Ref::steal(PyObject_GetIter(result.get()));
  return iter_ ? 0 : -1;
}

int DictWalk::next_element(Ref& element) noexcept {
  if (seq_) {
    PyObject* s = seq_.get();
    // A list can shrink while its elements' callbacks run (or, without the
    // GIL, while another thread holds it): its length is read again at
    // every step, together with the item.
    PyObject* e =
        PyList_CheckExact(s)
            ? list_item_ref(s, index_)
            : (index_ < PyTuple_GET_SIZE(s) ? Py_NewRef(PyTuple_GET_ITEM(s, index_)) : nullptr);
    if (e == nullptr) return 0;
    element = Ref::steal(e);
    ++index_;
    return 1;
  }
  PyObject* e = PyIter_Next(iter_.get());
  if (e == nullptr) return PyErr_Occurred() ? -1 : 0;
  element = Ref::steal(e);
  return 1;
}

// Fills the empty `key` and `value` from a two-item element.
int DictWalk::unpack_pair(PyObject* element, Ref& key, Ref& value) noexcept {
  Py_ssize_t found = 0;
  if (PyTuple_Check(element)) {
    found = PyTuple_GET_SIZE(element);
    if (found == 2) {
      key = Ref::borrow(PyTuple_GET_ITEM(element, 0));
      value = Ref::borrow(PyTuple_GET_ITEM(element, 1));
      return 0;
    }
  } else {
    Ref it = Ref::steal(PyObject_GetIter(element));
    if (!it) return -1;
    Ref items[3];
    for (; found < 3; ++found) {
      PyObject* x = PyIter_Next(it.get());
      if (x == nullptr) {
        if (PyErr_Occurred()) return -1;
        break;
      }
      items[found] = Ref::steal(x);
    }
    if (found == 2) {
      key = std::move(items[0]);
      value = std::move(items[1]);
      return 0;
    }
  }
  if (found > 2) {
    // CONTRACT: the interpreter's own words for this failure; tests pin them.
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
  } else {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
  }
  return -1;
}

int DictWalk::next(Ref& key, Ref& value) noexcept {
  // The new entry is built in fresh references; the previous one is dropped
  // only when both are held (at the end of this function).
  Ref k, v;
  if (dict_ != nullptr) {
    // One step under the dict's own lock (nothing on GIL builds): without
    // the GIL another thread may resize it meanwhile. The step runs no code.
    const char* changed = nullptr;
    bool more = false;
    Py_BEGIN_CRITICAL_SECTION(dict_);
    PyObject* bk = nullptr;
    PyObject* bv = nullptr;
    if (PyDict_GET_SIZE(dict_) != size_) {
      changed = "dictionary changed size during iteration";
    } else if (PyDict_Next(dict_, &pos_, &bk, &bv)) {
      // A delete plus an insert keeps the size; counting the entries handed
      // out notices the walk running on into keys that were never there
      // together with the first ones.
      if (left_ == 0) {
        changed = "dictionary keys changed during iteration";
      } else {
        --left_;
        more = true;
        // Strong references before anything else runs.
        if (kind_ == Kind::kItems) k = Ref::borrow(bk);
        v = Ref::borrow(bv);
      }
    }
    Py_END_CRITICAL_SECTION();
    if (changed != nullptr) {
      PyErr_SetString(PyExc_RuntimeError, changed);
      return -1;
    }
    if (!more) return 0;
  } else {
    Ref element;
    int r = next_element(element);
    if (r <= 0) return r;
    if (kind_ == Kind::kValues) {
      v = std::move(element);
    } else if (unpack_pair(element.get(), k, v) < 0) {
      return -1;
    }
  }
  std::swap(key, k);
  std::swap(value, v);
  return 1;
}

}  // namespace frame
