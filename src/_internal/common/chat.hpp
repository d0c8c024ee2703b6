// The chat request that every prompt builder returns.
#pragma once

#include "_internal/common/module.hpp"
#include "_internal/common/py.hpp"

namespace qv {

// The keys and role of a chat message, interned once per module.
struct ChatKeys {
  PyObject* role = nullptr;
  PyObject* content = nullptr;
  PyObject* user = nullptr;

  void init(ModuleState& state) {
    role = state.keep(interned("role"));
    content = state.keep(interned("content"));
    user = state.keep(interned("user"));
  }
};

// (system, [{"role": "user", "content": content}]): a new list holding one
// new record, `role` first.
inline Ref chat_request(const ChatKeys& keys, PyObject* system, PyObject* content) {
  Ref message = own(PyDict_New());
  check(PyDict_SetItem(message.get(), keys.role, keys.user));
  check(PyDict_SetItem(message.get(), keys.content, content));
  Ref messages = own(PyList_New(1));
  PyList_SET_ITEM(messages.get(), 0, message.release());
  return own(PyTuple_Pack(2, system, messages.get()));
}

}  // namespace qv
