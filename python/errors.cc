#include "python/errors.h"

#include <string>

namespace kestrine::py {

PyObject* internal_error_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "_kestrine.InternalError", "An internal assertion failed; the database was left unchanged.",
      PyExc_BaseException, nullptr);
  return type;
}

PyObject* raise_error(const Error& error) {
  PyObject* type = PyExc_RuntimeError;
  switch (error.kind()) {
    case ErrorKind::kNotFound:
      type = PyExc_KeyError;
      break;
    case ErrorKind::kInvalidValue:
      type = PyExc_ValueError;
      break;
    case ErrorKind::kIo:
    case ErrorKind::kInvalidData:
      type = PyExc_RuntimeError;
      break;
    case ErrorKind::kInternal:
      type = internal_error_type();
      if (type == nullptr) return nullptr;
      break;
  }
  PyRef message(PyUnicode_DecodeUTF8(error.message().data(), error.message().size(), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

bool raise_type_mismatch(PyObject* object, const char* target) {
  PyRef name(PyType_GetName(Py_TYPE(object)));
  if (!name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
  return false;
}

namespace {

// Takes the pending exception as one normalised object.
PyRef take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

void restore_exception(PyRef exception) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* value = exception.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

}  // namespace

bool prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyRef original = take_exception();
  if (!original) return false;
  PyRef text(PyObject_Str(original.get()));
  if (!text) {
    restore_exception(std::move(original));
    return false;
  }
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return false;
  // PyException_SetCause steals the reference to the cause.
  PyException_SetCause(replacement.get(), original.release());
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

void set_document_index(size_t index) {
  PyRef exception = take_exception();
  if (!exception) return;
  PyRef value(PyLong_FromSize_t(index));
  if (!value || PyObject_SetAttrString(exception.get(), "document_index", value.get()) < 0) return;
  restore_exception(std::move(exception));
}

}  // namespace kestrine::py
