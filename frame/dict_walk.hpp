// dict_walk.hpp - the walk over a dict argument (dict_walk.cpp).
//
// Conventions: PyObject* parameters are borrowed, PyObject* results are new
// references; failures return nullptr or -1 with the error indicator set.
// Nothing here throws.
#pragma once

#include <cstdint>

#include "module.hpp"

namespace frame {

// Walks a dict argument by entries (key and value) or by values only.
// An exact dict is read in place with the interpreter's two guards: its size
// is compared before every step, and an entry found after as many entries as
// it had at the start means keys were swapped during the walk. A subclass has
// its own `items`/`values` called once and the result read by index (exact
// tuple or list) or through its iterator. Every key and value is handed out
// as a strong reference, so callbacks that mutate the dict cannot free what
// the caller holds.
class DictWalk {
 public:
  enum class Kind : std::uint8_t { kItems, kValues };
  DictWalk(Module& m, Kind kind) noexcept : m_(&m), kind_(kind) {}

  // `d` is borrowed; the caller keeps it alive for the walk. 0 or -1.
  int start(PyObject* d) noexcept;
  // 1: an entry (value only for kValues, key left empty), 0: end, -1: error.
  // Both references of the new entry are taken before the previous entry's
  // are dropped: a destructor run by that drop may change the dict.
  int next(Ref& key, Ref& value) noexcept;

 private:
  int next_element(Ref& element) noexcept;
  static int unpack_pair(PyObject* element, Ref& key, Ref& value) noexcept;

  Module* m_;
  Kind kind_;
  PyObject* dict_ = nullptr;  // borrowed, exact dict only
  Py_ssize_t pos_ = 0;
  Py_ssize_t size_ = 0;
  Py_ssize_t left_ = 0;  // entries the exact dict may still hand out
  Py_ssize_t index_ = 0;
  Ref seq_;   // exact tuple or list from items()/values()
  Ref iter_;  // iterator over any other result
};

}  // namespace frame
