// How every Kestrine method reaches the object's engine: `usable` or `changeable` first,
// `unlocked` for the engine's work, `with_warnings` around the result of a change. Shared by
// kestrine_object.cc and document_methods.cc.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/engine/engine.h"
#include "python/pyref.h"

namespace kestrine::py {

// The check at the start of every method: false (RuntimeError set) once closed, and for a
// change when the database is read-only ("database is closed", "database is open
// read-only"). A close() racing the call is caught by `unlocked`.
bool usable(PyObject* self);
bool changeable(PyObject* self);

// Runs `work(engine)` with the interpreter lock released and the engine kept open, and returns
// its result; nullopt, with RuntimeError "database is closed" set, when the database was
// closed meanwhile. `work` must touch no Python object. Defined below.
template <typename Work>
auto unlocked(PyObject* self, Work&& work)
    -> std::optional<decltype(work(std::declval<Engine&>()))>;

// Passes on what the engine queued during a change (a failed automatic checkpoint) and
// returns `result`; null, with `result` released, when a warning became an exception.
PyObject* with_warnings(PyObject* self, PyObject* result);

// Passes the engine's warnings on as RuntimeWarning. False when a warning was turned into an
// exception (a warnings filter set to "error").
bool issue_warnings(const std::vector<std::string>& warnings);

// The engine looks the collection up itself; the methods that convert more after the look-up
// (metadata, documents, ids, filter) ask first only so that an unknown collection is reported
// before those conversions' errors. False with KeyError set when there is none.
bool report_unknown_collection(PyObject* self, const std::string& name);

// Sets RuntimeError "database is closed"; returns null.
PyObject* raise_closed();

// The engine and what guards its end. Engine work runs with the interpreter lock released
// (the engine's own locks make concurrent calls safe), holding `gate` shared; close() takes it
// exclusively, so it waits for the work in flight and no work starts on a closed engine. The
// gate is never held while Python code can run, so a close() from any thread, even from code
// that a conversion called, cannot wait for itself.
struct Handle {
  std::shared_mutex gate;
  std::unique_ptr<Engine> engine;  // null once closed; guarded by gate
  std::atomic<bool> closed = false;
  bool read_only = false;
};

struct KestrineObject {
  PyObject_HEAD Handle* handle;
};

inline Handle& handle_of(PyObject* self) {
  return *reinterpret_cast<KestrineObject*>(self)->handle;
}

template <typename Work>
auto unlocked(PyObject* self, Work&& work)
    -> std::optional<decltype(work(std::declval<Engine&>()))> {
  Handle& handle = handle_of(self);
  std::optional<decltype(work(std::declval<Engine&>()))> result;
  PyThreadState* state = PyEval_SaveThread();
  {
    std::shared_lock use(handle.gate);
    if (handle.engine) result.emplace(work(*handle.engine));
  }
  PyEval_RestoreThread(state);
  if (!result) raise_closed();
  return result;
}

}  // namespace kestrine::py
