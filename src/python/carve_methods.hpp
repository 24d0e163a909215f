// The result class of the carving methods: a list of hit dicts that says whether max_hits cut the scan short.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pw::py {

// pagewright.CarvedHits, a list subclass with the slot stopped_at_max_hits; made once (borrowed reference).
PyObject* carved_hits_type();

}  // namespace pw::py
