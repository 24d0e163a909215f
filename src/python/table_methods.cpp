// get_tables, get_table_schema, read_table: registry and rows as Python lists and dicts.
#include <vector>

#include "../cursor/table_cursor.hpp"
#include "../cursor/table_scan.hpp"
#include "../record/parser.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "value_conversion.hpp"

namespace pw::py {
namespace {

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* to_python(const ColumnValue& v) {
  switch (v.tag) {
    case ValueTag::Null:
      Py_RETURN_NONE;
    case ValueTag::Bool:
      return PyBool_FromLong(v.u != 0);
    case ValueTag::I8:
    case ValueTag::I16:
    case ValueTag::I32:
    case ValueTag::I64:
      return PyLong_FromLongLong(v.i);
    case ValueTag::U8:
    case ValueTag::U16:
    case ValueTag::U32:
    case ValueTag::U64:
    case ValueTag::DateTime:
    case ValueTag::Currency:
      return PyLong_FromUnsignedLongLong(v.u);
    case ValueTag::F32:
    case ValueTag::F64:
      return PyFloat_FromDouble(v.f);
    case ValueTag::Guid: {
      const std::string text = guid_text(v.guid);
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    case ValueTag::Text:
      return PyUnicode_DecodeUTF8(v.bytes.data(), static_cast<Py_ssize_t>(v.bytes.size()), "replace");
    case ValueTag::Binary:
    case ValueTag::MultiValue:
    case ValueTag::LongBinary:
      return bytes_of(v.bytes);
  }
  Py_RETURN_NONE;
}

bool parse_table_name(PyObject* args, PyObject* kwargs, const char* func, std::string& name) {
  static const char* kwlist[] = {"table_name", nullptr};
  PyObject* obj = nullptr;
  const std::string format = std::string("O:") + func;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(kwlist), &obj)) return false;
  return arg_as_name(obj, func, "table_name", name);
}

}  // namespace

PyObject* column_value_to_python(const ColumnValue& value) { return to_python(value); }

PyObject* ese_get_tables(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const auto& tables = db_of(self).tables();
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
    const TableInfo* table = db_of(self).tables().find(name);
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
    auto cursor = open_table(db_of(self), name);
    if (!cursor) return raise_ese_error(cursor.error());
    const TableInfo& table = cursor->table();
    std::vector<PyRef> keys;
    keys.reserve(table.row_order.size());
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      keys.emplace_back(name_to_str(table.row_column(k).name));
      if (!keys.back()) return nullptr;
    }
    // Every row has the same keys in the same order: each row's dict is a copy of this template (a copy of
    // a dict with str keys clones its key table), then the values are replaced in place.
    PyRef row_template(PyDict_New());
    if (!row_template) return nullptr;
    for (const PyRef& key : keys) {
      if (PyDict_SetItem(row_template.get(), key.get(), Py_None) < 0) return nullptr;
    }
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    Row row;
    for (;;) {
      auto more = cursor->next_row(row);
      if (!more) return raise_os_error("Error reading record: " + more.error().to_string());
      if (!more.value()) break;
      PyRef dict(PyDict_Copy(row_template.get()));
      if (!dict) return nullptr;
      for (std::size_t k = 0; k < keys.size(); ++k) {
        PyRef value(to_python(row.values[k]));
        if (!value || PyDict_SetItem(dict.get(), keys[k].get(), value.get()) < 0) return nullptr;
      }
      if (PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace pw::py

namespace pw::py {

PyObject* walk_counts_items(PyObject* dict, const WalkCounts& c) {
  const std::pair<const char*, std::uint64_t> items[] = {{"bad_entries", c.bad_entries},
                                                         {"overlapping_entries", c.overlapping_entries},
                                                         {"foreign_pages", c.foreign_pages},
                                                         {"loops", c.loops},
                                                         {"unreadable_pages", c.unreadable_pages}};
  for (const auto& [key, value] : items) {
    PyRef v(PyLong_FromUnsignedLongLong(value));
    if (!v || PyDict_SetItemString(dict, key, v.get()) < 0) return nullptr;
  }
  return dict;
}

PyObject* ese_scan_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::string name;
    if (!parse_table_name(args, kwargs, "scan_table", name)) return nullptr;
    const Database& db = db_of(self);
    auto scan = without_gil([&] { return scan_table(db, name); });
    if (!scan) {
      if (scan.error().kind() == ErrorKind::TableNotFound) return raise_ese_error(scan.error());
      return raise_os_error("Error reading record: " + scan.error().to_string());
    }
    PyRef dict(Py_BuildValue("{s:K,s:K}", "rows", static_cast<unsigned long long>(scan->entries - scan->deleted),
                             "deleted", static_cast<unsigned long long>(scan->deleted)));
    if (!dict || !walk_counts_items(dict.get(), scan->counts)) return nullptr;
    return dict.release();
  });
}

}  // namespace pw::py
