// The Kestrine methods that write or read several documents at once or by filter: upsert,
// batch_upsert, get_many, count, scan and delete_many. Each takes the Kestrine object and the
// call's arguments, converted and checked in the order of kestrine_object.cc: the arguments in
// signature order, then the collection's look-up, then ids and the filter; the engine is
// reached as engine_access.h says (the writes refuse a read-only database).
#pragma once

#include "python/pyref.h"

namespace kestrine::py {

PyObject* upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* batch_upsert(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* get_many(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* count(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* scan(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* delete_many(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace kestrine::py
