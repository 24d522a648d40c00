// The Kestrine methods that write or read several documents at once or by filter: upsert,
// batch_upsert, get_many, count, scan and delete_many. Each takes the object's engine and the
// call's arguments, converted and checked in the order of kestrine_object.cc: the arguments in
// signature order, then the collection's look-up, then ids and the filter.
#pragma once

#include "core/engine/engine.h"
#include "python/pyref.h"

namespace kestrine::py {

PyObject* upsert(Engine& engine, PyObject* args, PyObject* kwargs);
PyObject* batch_upsert(Engine& engine, PyObject* args, PyObject* kwargs);
PyObject* get_many(Engine& engine, PyObject* args, PyObject* kwargs);
PyObject* count(Engine& engine, PyObject* args, PyObject* kwargs);
PyObject* scan(Engine& engine, PyObject* args, PyObject* kwargs);
PyObject* delete_many(Engine& engine, PyObject* args, PyObject* kwargs);

}  // namespace kestrine::py
