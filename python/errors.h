// Turning engine errors and conversion failures into Python exceptions. Every function that
// sets an exception returns a failure value (nullptr or false) so callers can `return` it.
#pragma once

#include <cstddef>

#include "core/common/error.h"
#include "python/pyref.h"

namespace kestrine::py {

// Raises the exception type that `error.kind()` maps to, with the error's message.
PyObject* raise_error(const Error& error);

// TypeError "'<type name>' object cannot be converted to '<target>'".
bool raise_type_mismatch(PyObject* object, const char* target);

// When the pending exception is a TypeError, replaces it by a TypeError whose message is
// "argument '<name>': " + the original message, with the original as its cause. Other
// exceptions are left as they are. Always returns false.
bool prefix_argument_error(const char* name);

// Sets the attribute `document_index` (an int) on the pending exception: the position of the
// document that batch_insert refused. The exception itself is left as it was. Should setting
// the attribute fail, that failure is what stays pending.
void set_document_index(size_t index);

// The exception type for internal assertions reached through stored data. It derives from
// BaseException, so `except Exception` handlers do not swallow it.
PyObject* internal_error_type();

}  // namespace kestrine::py
