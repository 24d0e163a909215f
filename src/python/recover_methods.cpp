// recover_records and Table.recover: a table's deleted and superseded records as dicts with their place in the file.
#include "recover_methods.hpp"

#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pw::py {
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

// The dict keys: one str per column (the table's output keys), made once per iterator.
struct RecordKeys {
  std::vector<PyRef> columns;
  std::array<PyRef, kRecordCheckCount> checks;  // the names of the checks
  bool init(const TableInfo& table) {
    for (std::size_t bit = 0; bit < kRecordCheckCount; ++bit) {
      const std::string_view name = record_check_name(bit);
      checks[bit] = PyRef(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
      if (!checks[bit]) return false;
    }
    columns.reserve(table.row_order.size());
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      columns.emplace_back(name_to_str(table.column_keys[k]));
      if (!columns.back()) return false;
    }
    return true;
  }
  PyObject* names(const std::vector<std::size_t>& positions) const {
    PyRef list(PyList_New(0));
    for (const std::size_t pos : positions) {
      if (!list || PyList_Append(list.get(), columns[pos].get()) < 0) return nullptr;
    }
    return list.release();
  }
};

PyObject* record_dict(const RecoveredRecord& r, const RecordKeys& keys, bool typed) {
  PyRef values(PyDict_New());
  if (!values) return nullptr;
  for (std::size_t k = 0; k < keys.columns.size(); ++k) {
    PyRef value(to_python(r.row.values[k], typed));
    if (!value || PyDict_SetItem(values.get(), keys.columns[k].get(), value.get()) < 0) return nullptr;
  }
  PyRef checks(PyList_New(0));
  for (std::size_t bit = 0; checks && bit < kRecordCheckCount; ++bit) {
    if (!(r.checks & (1u << bit))) continue;
    if (!keys.checks[bit] || PyList_Append(checks.get(), keys.checks[bit].get()) < 0) return nullptr;
  }
  // The long-value ids of the values not given, for a reader to name them.
  PyRef refs(PyDict_New());
  for (const auto& [pos, lv_id] : r.long_value_ids) {
    PyRef id(PyLong_FromUnsignedLongLong(lv_id));
    if (!refs || !id || PyDict_SetItem(refs.get(), keys.columns[pos].get(), id.get()) < 0) return nullptr;
  }
  PyRef unresolved(keys.names(r.unresolved_long_values));
  PyRef withheld(keys.names(r.withheld_long_values));
  if (!checks || !refs || !unresolved || !withheld) return nullptr;
  PyRef inferred(r.inferred_end == kNoColumn ? Py_NewRef(Py_None) : Py_NewRef(keys.columns[r.inferred_end].get()));
  const std::string_view source = recover_source_name(r.source);
  return Py_BuildValue("{s:O,s:s#,s:k,s:k,s:k,s:k,s:O,s:O,s:O,s:O,s:O,s:O}", "values", values.get(), "source",
                       source.data(), static_cast<Py_ssize_t>(source.size()), "page",
                       static_cast<unsigned long>(r.page), "offset", static_cast<unsigned long>(r.offset), "length",
                       static_cast<unsigned long>(r.length), "confidence", static_cast<unsigned long>(r.confidence()),
                       "checks", checks.get(), "inferred_end", inferred.get(), "duplicate_of_live",
                       r.duplicate_of_live ? Py_True : Py_False, "unresolved_long_values", unresolved.get(),
                       "withheld_long_values", withheld.get(), "long_value_refs", refs.get());
}

struct PyRecoveredIterator {
  PyObject ob_base;
  PyObject* owner;  // the EseDatabase
  SharedDatabase* database;
  RecordRecovery* recovery;
  std::vector<RecoveredRecord>* pending;  // the records of the page read last
  std::size_t next;
  RecordKeys* keys;
  bool typed;
};

void recovered_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<PyRecoveredIterator*>(self);
  delete it->recovery;
  delete it->pending;
  delete it->keys;
  delete it->database;
  Py_CLEAR(it->owner);
  Py_TYPE(self)->tp_free(self);
}

PyObject* recovered_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<PyRecoveredIterator*>(self);
    if (!open_db(it->owner)) return nullptr;
    if (it->next == it->pending->size()) {
      it->pending->clear();
      it->next = 0;
      if (!without_gil([&] { return it->recovery->next_page(*it->pending); })) return nullptr;  // StopIteration
    }
    return record_dict((*it->pending)[it->next++], *it->keys, it->typed);
  });
}

PyTypeObject make_recovered_type() {
  PyTypeObject t = static_type("pagewright.RecoveredIterator", sizeof(PyRecoveredIterator),
                               "Recovered records of a table as dicts, read page by page (Table.recover()).");
  t.tp_dealloc = recovered_dealloc;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = recovered_next;
  return t;
}
PyTypeObject g_recovered_type = make_recovered_type();

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
    PyRef records(recovered_iterator(self, db, *table, sources, false));
    return records ? PySequence_List(records.get()) : nullptr;
  });
}

PyObject* recovered_iterator(PyObject* owner, const SharedDatabase& db, const TableInfo& table,
                             const RecoverSources& sources, bool typed) {
  return guarded([&]() -> PyObject* {
    static const bool ready = PyType_Ready(&g_recovered_type) == 0;
    if (!ready) return nullptr;
    auto keys = std::make_unique<RecordKeys>();
    if (!keys->init(table)) return nullptr;
    auto recovery = without_gil([&] { return RecordRecovery::open(*db, table, sources, typed); });
    if (!recovery) return raise_os_error("Error recovering records: " + recovery.error().to_string());
    auto* it = PyObject_New(PyRecoveredIterator, &g_recovered_type);
    if (!it) return nullptr;
    it->owner = Py_NewRef(owner);
    it->database = new SharedDatabase(db);
    it->recovery = new RecordRecovery(std::move(*recovery));
    it->pending = new std::vector<RecoveredRecord>();
    it->next = 0;
    it->keys = keys.release();
    it->typed = typed;
    return reinterpret_cast<PyObject*>(it);
  });
}

}  // namespace pw::py
