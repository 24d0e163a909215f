// Recovered records as Python objects, shared by EseDatabase.recover_records and Table.recover.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../recover/recover.hpp"
#include "ese_database.hpp"

namespace pw::py {

// `sources`: an iterable of source names (nullptr: every source). False with an exception set.
bool parse_sources(PyObject* obj, RecoverSources& out);
// An iterator of record dicts (values typed or raw), read page by page with the GIL released; `owner` is the
// EseDatabase (its close() ends the iterator).
PyObject* recovered_iterator(PyObject* owner, const SharedDatabase& db, const TableInfo& table,
                             const RecoverSources& sources, bool typed);

}  // namespace pw::py
