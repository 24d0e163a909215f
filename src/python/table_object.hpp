// Table objects (db.table(name)), their Column and Index descriptions, and row iterators (table.rows()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "../catalog/table_info.hpp"
#include "ese_database.hpp"

namespace pw::py {

struct PyTable {
  PyObject ob_base;
  PyObject* owner;           // the EseDatabase (its close() makes every call here raise ValueError)
  SharedDatabase* database;  // keeps the registry this points into alive
  const TableInfo* table;
  PyObject* name;
};

PyTypeObject* table_type();

// The Table's database when its EseDatabase is still open, else nullptr with ValueError set.
const Database* table_db(PyTable* table);

}  // namespace pw::py
