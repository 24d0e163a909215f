// Table objects (db.table(name)), their Column and Index descriptions, and row iterators (table.rows()).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "../catalog/table_info.hpp"
#include "../cursor/table_cursor.hpp"
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

// Keyword arguments shared by rows() and arrow(); each sets an exception naming `func` on failure.
// columns: one name (a str) or an iterable of names (all when None): `wanted` by row position, and in `order`
// the positions in the order asked (a name asked twice counts once); an unknown name is a ValueError listing
// the table's columns. timestamps: {name: reading}, only for columns of 8-byte values; deleted: the mode.
bool wanted_columns(const TableInfo& table, PyObject* names, std::vector<bool>& wanted, const char* func,
                    std::vector<std::size_t>* order = nullptr);
bool timestamp_readings(const TableInfo& table, PyObject* mapping, std::vector<TimestampReading>& readings,
                        const char* func);
bool deleted_mode(PyObject* word, DeletedRows& out, const char* func);

// Values with no readable form (unreadable_values.cpp): {reason: count} of one column (reasons counted only),
// and {column key: {reason: count}} of what a cursor has read so far.
PyObject* unreadable_dict(const UnreadableCounts& counts);
PyObject* unreadable_report(const TableInfo& table, const TableCursor& cursor);

// Arrow streams of a table (arrow_methods.cpp): Table.arrow(), Table.__arrow_c_stream__(), to_arrow(),
// to_pandas(); the ArrowStream type.
PyObject* table_arrow(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* table_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* table_to_arrow(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* table_to_pandas(PyObject* self, PyObject* args, PyObject* kwargs);
int ready_arrow_types();
PyObject* arrow_stream_type_object();

}  // namespace pw::py
