// Recovered records as Python objects, shared by EseDatabase.recover_records and Table.recover.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../recover/recover.hpp"

namespace pw::py {

// `sources`: an iterable of source names (nullptr: every source). False with an exception set.
bool parse_sources(PyObject* obj, RecoverSources& out);
// The list of record dicts (values typed or raw), the core work done with the GIL released.
PyObject* recovered_list(const Database& db, const TableInfo& table, const RecoverSources& sources, bool typed);

}  // namespace pw::py
