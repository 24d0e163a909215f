// get_tables, get_table_schema, read_table: registry and rows as Python lists and dicts.
#include <vector>

#include "../cursor/table_cursor.hpp"
#include "../cursor/table_scan.hpp"
#include "../record/parser.hpp"
#include "damage_dicts.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "row_dicts.hpp"
#include "values.hpp"

namespace pw::py {
namespace {

bool parse_table_name(PyObject* args, PyObject* kwargs, const char* func, std::string& name) {
  static const char* kwlist[] = {"table_name", nullptr};
  PyObject* obj = nullptr;
  const std::string format = std::string("O:") + func;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist), &obj)) return false;
  return arg_as_name(obj, func, "table_name", name);
}

}  // namespace

PyObject* ese_get_tables(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const auto& tables = db->tables();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(tables.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (const auto& entry : tables) {
      PyObject* name = name_to_str(entry.first);
      if (!name) return nullptr;
      PyList_SET_ITEM(list.get(), i++, name);
    }
    return list.release();
  });
}

PyObject* ese_get_table_schema(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!parse_table_name(args, kwargs, "get_table_schema", name)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const TableInfo* table = db->tables().find(name);
    if (!table) return raise_ese_error(EseError::table_not_found(name));
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [key, column] : table->columns) {
      const auto type_name = column_type_name(column.column_type);
      PyRef dict(Py_BuildValue("{s:N,s:s#,s:k,s:O}", "name", name_to_str(column.name), "type", type_name.data(),
                               static_cast<Py_ssize_t>(type_name.size()), "id", static_cast<unsigned long>(column.id),
                               "nullable", (column.flags & column_flag::kNotNull) ? Py_False : Py_True));
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* ese_read_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!parse_table_name(args, kwargs, "read_table", name)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    auto cursor = open_table(*db, name);
    if (!cursor && db->source_failed()) {
      return raise_os_error("Error reading record: " + cursor.error().to_string());
    }
    if (!cursor) return raise_ese_error(cursor.error());
    RowDicts dicts;
    if (!dicts.init(cursor->table())) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    Row row;
    for (std::uint64_t n = 1;; ++n) {
      auto more = cursor->next_row(row);
      // Checked first: what the cursor made of zeros read in place of the file's bytes is not the cause.
      if (auto read = db->source_status(); !read) {
        return raise_os_error("Error reading record: " + read.error().to_string());
      }
      if (!more) return raise_os_error("Error reading record: " + more.error().to_string());
      if (!more.value()) break;
      PyRef dict(dicts.make(row, false));
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
      if (n % kRowsBetweenSignalChecks == 0 && PyErr_CheckSignals() < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace pw::py

namespace pw::py {

PyObject* ese_scan_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!parse_table_name(args, kwargs, "scan_table", name)) return nullptr;
    const SharedDatabase open = shared_db(self);
    if (!open) return nullptr;
    const Database& db = *open;
    auto scan = without_gil([&] { return scan_table(db, name, ScanLongValues::Check); });
    if (!scan) {
      if (scan.error().kind() == ErrorKind::TableNotFound) return raise_ese_error(scan.error());
      return raise_os_error("Error reading record: " + scan.error().to_string());
    }
    PyRef dict(Py_BuildValue("{s:K,s:K}", "rows", static_cast<unsigned long long>(scan->entries - scan->deleted),
                             "deleted", static_cast<unsigned long long>(scan->deleted)));
    if (!dict || !walk_counts_items(dict.get(), scan->counts)) return nullptr;
    PyRef missing(column_counts_dict(*db.tables().find(name), scan->missing_long_values));
    if (!missing || PyDict_SetItemString(dict.get(), "missing_long_values", missing.get()) < 0) return nullptr;
    return dict.release();
  });
}

}  // namespace pw::py
