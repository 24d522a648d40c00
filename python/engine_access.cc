#include "python/engine_access.h"

#include "python/errors.h"

namespace kestrine::py {

constexpr const char* kClosedMessage = "database is closed";

PyObject* raise_closed() {
  PyErr_SetString(PyExc_RuntimeError, kClosedMessage);
  return nullptr;
}

bool usable(PyObject* self) {
  if (!handle_of(self).closed.load()) return true;
  raise_closed();
  return false;
}

bool changeable(PyObject* self) {
  if (!usable(self)) return false;
  if (!handle_of(self).read_only) return true;
  PyErr_SetString(PyExc_RuntimeError, kReadOnlyMessage);
  return false;
}

bool issue_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& warning : warnings) {
    // Paths in the texts are bytes from the file system: never let them fail the decoding.
    PyRef text(
        PyUnicode_DecodeUTF8(warning.data(), static_cast<Py_ssize_t>(warning.size()), "replace"));
    if (!text) return false;
    const char* utf8 = PyUnicode_AsUTF8(text.get());
    if (utf8 == nullptr || PyErr_WarnEx(PyExc_RuntimeWarning, utf8, 1) < 0) return false;
  }
  return true;
}

PyObject* with_warnings(PyObject* self, PyObject* result) {
  if (result == nullptr) return nullptr;
  PyRef owned(result);
  std::vector<std::string> warnings;
  {
    // Taken without waiting, under the interpreter lock: a database that another thread is
    // closing has nothing more to say.
    Handle& handle = handle_of(self);
    std::shared_lock use(handle.gate, std::try_to_lock);
    if (use.owns_lock() && handle.engine) warnings = handle.engine->take_warnings();
  }
  if (!issue_warnings(warnings)) return nullptr;
  return owned.release();
}

bool report_unknown_collection(PyObject* self, const std::string& name) {
  auto collection =
      unlocked(self, [&name](Engine& engine) { return engine.find_collection(name); });
  if (!collection) return false;
  if (*collection) return true;
  raise_error(collection->error());
  return false;
}

}  // namespace kestrine::py
