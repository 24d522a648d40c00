// Binding a call's arguments to a method's parameters without building the parameter names anew
// on every call, as PyArg_ParseTupleAndKeywords does (one string object and one hash per name it
// looks for). Meant for the methods called in tight loops (search, search_many).
#pragma once

#include <cstddef>
#include <vector>

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kestrine::py {

class Parameters {
 public:
  // `names` ends with nullptr. The first `positional` may be given by position, the others only
  // by keyword; the first `required` must be given. The names are interned once, here.
  Parameters(const char* const* names, size_t positional, size_t required);

  // Binds `args` and `kwargs` to out[0..count) (borrowed references, null for an argument not
  // given) and returns true, for a call whose keywords are among the names and written as such
  // (Python interns the keywords of a call, so they are found by identity). Returns false, with
  // `out` to be ignored and no exception set, for any other call: the caller then binds it with
  // PyArg_ParseTupleAndKeywords, whose result and errors are the reference.
  bool bind(PyObject* args, PyObject* kwargs, PyObject** out) const;

  size_t count() const { return names_.size(); }

 private:
  bool bind_all(PyObject* args, PyObject* kwargs, PyObject** out) const;

  // Held for the life of the process and never released: the tables are static, and their
  // destructors would run after the interpreter is gone.
  std::vector<PyObject*> names_;
  size_t positional_;
  size_t required_;
};

}  // namespace kestrine::py
