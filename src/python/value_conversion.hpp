// The conversion of one decoded column value to its Python object, shared by every method that returns rows.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../types/column_value.hpp"

namespace pw::py {

// None, bool, int, float, str (text, GUIDs) or bytes, exactly as read_table gives it; a new reference.
PyObject* column_value_to_python(const ColumnValue& value);

}  // namespace pw::py
