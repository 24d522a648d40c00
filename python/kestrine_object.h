// The Kestrine class: one opened database.
#pragma once

#include "python/pyref.h"

namespace kestrine::py {

// Creates the class; null with an exception set on failure. Called once, at module init.
PyObject* create_kestrine_type();

}  // namespace kestrine::py
