// The chat request that every prompt builder returns.
#pragma once

#include "_internal/common/py.hpp"

namespace qv {

// (system, [{"role": "user", "content": content}]): a new list holding one
// new record, `role` first. The keys are interned once and kept for the
// life of the process, like every module constant.
inline Ref chat_request(PyObject* system, PyObject* content) {
  static PyObject* const key_role = interned("role").release();
  static PyObject* const key_content = interned("content").release();
  static PyObject* const role_user = interned("user").release();
  Ref message = own(PyDict_New());
  check(PyDict_SetItem(message.get(), key_role, role_user));
  check(PyDict_SetItem(message.get(), key_content, content));
  Ref messages = own(PyList_New(1));
  PyList_SET_ITEM(messages.get(), 0, message.release());
  return own(PyTuple_Pack(2, system, messages.get()));
}

}  // namespace qv
