#include "python/arguments.h"

#include <algorithm>

namespace kestrine::py {

Parameters::Parameters(const char* const* names, size_t positional, size_t required)
    : positional_(positional), required_(required) {
  for (const char* const* name = names; *name != nullptr; ++name) {
    // An interning that fails leaves a null entry, which no keyword matches: such calls take
    // the reference path.
    PyObject* interned = PyUnicode_InternFromString(*name);
    if (interned == nullptr) PyErr_Clear();
    names_.push_back(interned);
  }
}

bool Parameters::bind(PyObject* args, PyObject* kwargs, PyObject** out) const {
  if (bind_all(args, kwargs, out)) return true;
  std::fill_n(out, names_.size(), nullptr);
  return false;
}

bool Parameters::bind_all(PyObject* args, PyObject* kwargs, PyObject** out) const {
  if (!PyTuple_CheckExact(args)) return false;
  const auto given = static_cast<size_t>(PyTuple_GET_SIZE(args));
  if (given > positional_) return false;
  std::fill_n(out, names_.size(), nullptr);
  for (size_t i = 0; i < given; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    if (!PyDict_CheckExact(kwargs)) return false;
    PyObject *key, *value;
    Py_ssize_t position = 0;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      size_t i = given;
      while (i < names_.size() && names_[i] != key) ++i;
      // Unknown, not interned, or given by position too: the reference path decides.
      if (i == names_.size() || out[i] != nullptr) return false;
      out[i] = value;
    }
  }
  for (size_t i = 0; i < required_; ++i) {
    if (out[i] == nullptr) return false;
  }
  return true;
}

}  // namespace kestrine::py
