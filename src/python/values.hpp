// Column values as Python objects: the raw view (read_table) and the typed view (rows(typed=True)).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../types/column_value.hpp"

namespace pw::py {

// Raw view: integers as stored (DateTime and Currency as unsigned 64 bits), GUIDs as text, multi-values as bytes.
// Typed view: timestamps as aware datetimes in UTC, GUIDs as uuid.UUID, lists as lists. New reference.
PyObject* to_python(const ColumnValue& value, bool typed = false);

// Imports what the typed view needs (datetime's C API, uuid.UUID); call once at module initialisation.
int init_typed_values();

}  // namespace pw::py
