// recover_records: a table's deleted and superseded records as a list of dicts with their place in the file.
#include "recover_methods.hpp"

#include <string_view>
#include <vector>

#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pw::py {
namespace {

PyObject* record_dict(const RecoveredRecord& r, const std::vector<PyRef>& keys, bool typed);

}  // namespace

// A str itself is refused, not read as its characters.
bool parse_sources(PyObject* obj, RecoverSources& out) {
  if (!obj) return true;
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "recover_records() argument 'sources' must be a sequence of str, not str");
    return false;
  }
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return false;
  out = RecoverSources::none();
  while (PyRef item{PyIter_Next(iter.get())}) {
    std::string name;
    if (!arg_as_utf8(item.get(), "recover_records", "sources", name)) return false;
    RecoverSource source;
    if (!parse_recover_source(name, source)) {
      PyErr_Format(PyExc_ValueError,
                   "recover_records() got an unknown source %R (expected 'deleted', 'stale', 'slack' or 'free')",
                   item.get());
      return false;
    }
    out.set(source, true);
  }
  return !PyErr_Occurred();
}

namespace {

PyObject* record_dict(const RecoveredRecord& r, const std::vector<PyRef>& keys, bool typed) {
  PyRef values(PyDict_New());
  if (!values) return nullptr;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    PyRef value(to_python(r.row.values[k], typed));
    if (!value || PyDict_SetItem(values.get(), keys[k].get(), value.get()) < 0) return nullptr;
  }
  PyRef unresolved(PyList_New(0));
  if (!unresolved) return nullptr;
  for (const std::size_t pos : r.unresolved_long_values) {
    if (PyList_Append(unresolved.get(), keys[pos].get()) < 0) return nullptr;
  }
  const std::string_view source = recover_source_name(r.source);
  return Py_BuildValue("{s:O,s:s#,s:k,s:k,s:k,s:k,s:O}", "values", values.get(), "source", source.data(),
                       static_cast<Py_ssize_t>(source.size()), "page", static_cast<unsigned long>(r.page), "offset",
                       static_cast<unsigned long>(r.offset), "length", static_cast<unsigned long>(r.length),
                       "confidence", static_cast<unsigned long>(r.confidence), "unresolved_long_values",
                       unresolved.get());
}

}  // namespace

PyObject* ese_recover_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_name", "sources", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* sources_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:recover_records", const_cast<char**>(kwlist), &name_obj,
                                     &sources_obj))
      return nullptr;
    std::string name;
    if (!arg_as_name(name_obj, "recover_records", "table_name", name)) return nullptr;
    RecoverSources sources;
    if (!parse_sources(sources_obj, sources)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const TableInfo* table = db->tables().find(name);
    if (!table) return raise_ese_error(EseError::table_not_found(name));
    return recovered_list(*db, *table, sources, false);
  });
}

PyObject* recovered_list(const Database& db, const TableInfo& table, const RecoverSources& sources, bool typed) {
  return guarded([&]() -> PyObject* {
    auto records = without_gil([&]() -> Result<std::vector<RecoveredRecord>> {
      auto found = recover_records(db, table, sources);
      if (found && typed) make_recovered_typed(db, table, *found);
      return found;
    });
    if (!records) return raise_os_error("Error recovering records: " + records.error().to_string());

    std::vector<PyRef> keys;
    keys.reserve(table.row_order.size());
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      keys.emplace_back(name_to_str(table.column_keys[k]));
      if (!keys.back()) return nullptr;
    }
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const RecoveredRecord& r : *records) {
      PyRef dict(record_dict(r, keys, typed));
      if (!dict || PyList_Append(list.get(), dict.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace pw::py
