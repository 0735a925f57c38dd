// device.cpp - to_device and forward: device placement and the forward pass
// under both input conventions.
#include "batchkit.hpp"

namespace bk {
namespace {

using frame::fail;
using frame::Ref;

// v.to(device) as a method call by name, without a bound method or a tuple,
// the method `to` looked up once per type.
PyObject* dev_call_to(PyObject* v, PyObject* device) noexcept {
  PyObject* args[] = {nullptr, v, device};
  return frame::call_method(state.sites.move_to, state.s_to, args + 1,
                            2 | PY_VECTORCALL_ARGUMENTS_OFFSET);
}

// to_device on a dict: a new dict with each tensor value moved.
FRAME_NOINLINE PyObject* dev_move_dict(frame::FnObject* f, PyObject* x, PyObject* device) noexcept {
  PyObject* out = map_tensor_values(f, state.sites.move_torch, x,
                                    [device](PyObject* v) { return dev_call_to(v, device); });
  return out ? out : fail(f, ToDevice::Line::kDict);
}

}  // namespace

PyObject* to_device(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* x = args[0];
  PyObject* device = args[1];
  // The device check reports at the caller: no entry of our own.
  if (frame::check_exact_type(device, &PyUnicode_Type, "device") < 0) return nullptr;
  if (!frame::is_dict(x)) {
    // x.to(device) with our own arguments, already in that order.
    PyObject* moved = frame::call_method(state.sites.move_to, state.s_to, args, 2);
    return moved ? moved : fail(f, ToDevice::Line::kMove);
  }
  return dev_move_dict(f, x, device);
}

PyObject* forward(frame::FnObject* f, PyObject* const* args) noexcept {
  PyObject* model = args[0];
  PyObject* x = args[1];
  Ref out;
  // A model whose class defines __call__ in Python (a torch.nn.Module) has
  // that method called directly, as the interpreter's call slot would. It is
  // looked up once the arguments are ready, as the call slot would find it.
  Ref meth;
  if (frame::is_dict(x)) {
    // model(**x): the entries as keywords, never the caller's dict itself. A
    // subclass is copied with dict(x) first, as the interpreter does, so its
    // own keys and item access run by the mapping rules.
    Ref copy;
    PyObject* kwargs = x;
    if (!PyDict_CheckExact(x)) {
      copy = Ref::steal(frame::dict_of(x));
      if (!copy) return fail(f, Forward::Line::kCall);
      kwargs = copy.get();
    }
    meth = Ref::steal(frame::python_call_method(state.frame, model));
    PyObject* call[] = {model};
    out = Ref::steal(meth ? frame::call_with_kwargs(meth.get(), call, 1, kwargs)
                          : frame::call_with_kwargs(model, nullptr, 0, kwargs));
  } else if ((meth = Ref::steal(frame::python_call_method(state.frame, model)))) {
    PyObject* call[] = {nullptr, model, x};
    out = Ref::steal(
        PyObject_Vectorcall(meth.get(), call + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  } else {
    PyObject* call[] = {nullptr, x};
    out = Ref::steal(
        PyObject_Vectorcall(model, call + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  }
  if (!out) return fail(f, Forward::Line::kCall);

  // hasattr(out, "logits"): a tensor's type is known to lack it after the
  // first call, and no AttributeError object is made either way where the
  // type uses the generic attribute access.
  const int has = frame::has_attr(state.sites.out_logits, out.get(), state.s_logits);
  if (has < 0) return fail(f, Forward::Line::kHasLogits);
  if (has == 0) return out.release();
  PyObject* logits = PyObject_GetAttr(out.get(), state.s_logits);
  return logits ? logits : fail(f, Forward::Line::kLogits);
}

}  // namespace bk
