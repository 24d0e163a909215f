// Column values as Python objects: the raw view (read_table) and the typed view (rows(typed=True)).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../types/column_value.hpp"
#include "../types/typed_value.hpp"

namespace pw::py {

// Raw view: integers as stored (DateTime and Currency as unsigned 64 bits), GUIDs as text, multi-values as bytes.
// Typed view: timestamps as aware datetimes in UTC, GUIDs as uuid.UUID, lists as lists. New reference.
PyObject* to_python(const ColumnValue& value, bool typed = false);

// An aware datetime in UTC; nullptr with an exception for a date Python cannot hold.
PyObject* utc_datetime(const CivilTime& t);

// Imports what the typed view needs (datetime's C API, uuid.UUID); call once at module initialisation.
int init_typed_values();

}  // namespace pw::py
