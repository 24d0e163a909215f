// The database's view of its transaction logs: EseDatabase.log_records(), log_coverage(), logs, and
// Table.log_changes().
#include "../journal/log_coverage.hpp"
#include "../journal/table_changes.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "log_objects.hpp"
#include "row_dicts.hpp"
#include "table_object.hpp"

namespace pw::py {
namespace {

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* u32_list(const std::vector<std::uint32_t>& values) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const std::uint32_t v : values) {
    PyRef item(PyLong_FromUnsignedLong(v));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// The LogSet object of a `logs` argument, else of the database; ValueError when there is neither.
PyObject* logs_for(PyObject* database, PyObject* arg, const char* func) {
  if (arg && arg != Py_None) return log_set_from_arg(arg, func);
  PyObject* given = reinterpret_cast<PyEseDatabase*>(database)->logs;
  if (given) return Py_NewRef(given);
  PyErr_Format(PyExc_ValueError, "%s() needs the logs: pass logs=DIR, or open the database with EseDatabase(path, "
               "logs=DIR)", func);
  return nullptr;
}

std::unique_ptr<TreeOwners> tree_owners(const Database& db) {
  auto owners = std::make_unique<TreeOwners>();
  for (const auto& [raw, table] : db.tables()) {
    const auto add = [&](std::uint32_t id, const char* tree) -> bool {
      PyRef name(name_to_str(table.name));
      if (!name) return false;
      owners->try_emplace(id, TreeOwner{std::move(name), tree});
      return true;
    };
    if (!add(table.object_id, "data")) return nullptr;
    for (const auto& [n, index] : table.indexes) {
      if (index.object_id != table.object_id && !add(index.object_id, "index")) return nullptr;
    }
    for (const auto& [n, lv] : table.long_values) {
      if (!add(lv.object_id, "long_value")) return nullptr;
    }
  }
  return owners;
}

PyObject* coverage_dict(const Database& db, const LogCoverage& c) {
  PyRef tables(PyDict_New());
  if (!tables) return nullptr;
  for (const TableLogChanges& t : c.tables) {
    PyRef name(name_to_str(t.table));
    PyRef counts(Py_BuildValue("{s:K,s:K,s:K}", "changes", static_cast<unsigned long long>(t.changes), "newer",
                               static_cast<unsigned long long>(t.newer), "out_of_sequence",
                               static_cast<unsigned long long>(t.out_of_sequence)));
    if (!name || !counts || PyDict_SetItem(tables.get(), name.get(), counts.get()) < 0) return nullptr;
  }
  (void)db;
  PyRef d(PyDict_New());
  const bool required = c.required_min != 0;
  if (!d || !put(d.get(), "covered", PyBool_FromLong(c.covered)) ||
      !put(d.get(), "signature_matches", PyBool_FromLong(c.signature_matches)) ||
      !put(d.get(), "database_named", PyBool_FromLong(c.database_named)) ||
      !put(d.get(), "required", required ? Py_BuildValue("[kk]", static_cast<unsigned long>(c.required_min),
                                                         static_cast<unsigned long>(c.required_max))
                                         : Py_NewRef(Py_None)) ||
      !put(d.get(), "present", c.lowest ? Py_BuildValue("[kk]", static_cast<unsigned long>(*c.lowest),
                                                       static_cast<unsigned long>(*c.highest))
                                        : Py_NewRef(Py_None)) ||
      !put(d.get(), "missing", u32_list(c.missing)) ||
      !put(d.get(), "missing_count", PyLong_FromUnsignedLongLong(c.missing_count)) ||
      !put(d.get(), "damaged", u32_list(c.damaged)) ||
      !put(d.get(), "page_changes", PyLong_FromUnsignedLongLong(c.page_changes)) ||
      !put(d.get(), "newer", PyLong_FromUnsignedLongLong(c.newer)) ||
      !put(d.get(), "newer_unattributed", PyLong_FromUnsignedLongLong(c.newer_unattributed)) ||
      !put(d.get(), "pages_past_end", PyLong_FromUnsignedLongLong(c.pages_past_end)) ||
      !put(d.get(), "tables", tables.release()))
    return nullptr;
  return d.release();
}

PyObject* change_dict(const TableInfo& table, const TableChange& tc, const RowDicts& dicts, bool typed) {
  const LogChange& c = tc.change;
  const auto column_list = [&](const std::vector<std::size_t>& positions) -> PyObject* {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const std::size_t pos : positions) {
      PyRef key(name_to_str(table.column_keys[pos]));
      if (!key || PyList_Append(list.get(), key.get()) < 0) return nullptr;
    }
    return list.release();
  };
  const char* before = c.before == BeforeImage::Page ? "page" : c.before == BeforeImage::Log ? "log" : nullptr;
  const bool checked = c.dbtime_before != ~std::uint64_t{0};
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "operation", PyUnicode_FromString(change_operation_name(c.operation))) ||
      !put(d.get(), "position", log_position(c.position)) ||
      !put(d.get(), "segment_time", log_time_object(c.segment_time)) ||
      !put(d.get(), "session", PyLong_FromLong(c.session)) ||
      !put(d.get(), "transaction", PyUnicode_FromString(transaction_state_name(c.state))) ||
      !put(d.get(), "page", PyLong_FromUnsignedLong(c.page)) || !put(d.get(), "line", PyLong_FromLong(c.line)) ||
      !put(d.get(), "dbtime", PyLong_FromUnsignedLongLong(c.dbtime)) ||
      !put(d.get(), "dbtime_before", checked ? PyLong_FromUnsignedLongLong(c.dbtime_before) : Py_NewRef(Py_None)) ||
      !put(d.get(), "page_dbtime", c.page_dbtime ? PyLong_FromUnsignedLongLong(*c.page_dbtime) : Py_NewRef(Py_None)) ||
      !put(d.get(), "flushed", PyBool_FromLong(c.flushed())) ||
      !put(d.get(), "key", c.key.empty() ? Py_NewRef(Py_None) : bytes_of(c.key)) ||
      !put(d.get(), "values", tc.row ? dicts.make(*tc.row, typed) : Py_NewRef(Py_None)) ||
      !put(d.get(), "diff", c.diff.empty() ? Py_NewRef(Py_None) : bytes_of(c.diff)) ||
      !put(d.get(), "before_image", before ? PyUnicode_FromString(before) : Py_NewRef(Py_None)) ||
      !put(d.get(), "missing_long_values", column_list(tc.missing_long_values)) ||
      !put(d.get(), "unreadable_values", column_list(tc.unreadable_values)))
    return nullptr;
  return d.release();
}

// The changes of one table, decoded lazily in log order (Table.log_changes()).
struct PyLogChangeIterator {
  PyObject ob_base;
  PyObject* owner;  // the EseDatabase (its close() makes next() raise ValueError)
  PyObject* logs;   // the LogSet object the stream reads
  SharedDatabase* database;
  const TableInfo* table;
  TableChangeStream* stream;
  RowDicts* dicts;
  bool typed;
};

void changes_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<PyLogChangeIterator*>(self);
  delete it->stream;
  delete it->dicts;
  delete it->database;
  Py_CLEAR(it->logs);
  Py_CLEAR(it->owner);
  Py_TYPE(self)->tp_free(self);
}

PyObject* changes_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<PyLogChangeIterator*>(self);
    if (!open_db(it->owner)) return nullptr;
    TableChange change;
    auto more = it->stream->next(change);
    if (!more) return raise_os_error("Error reading logs: " + more.error().to_string());
    if (!*more) return nullptr;  // StopIteration
    return change_dict(*it->table, change, *it->dicts, it->typed);
  });
}

PyTypeObject make_changes_type() {
  PyTypeObject t = static_type("pagewright.LogChangeIterator", sizeof(PyLogChangeIterator),
                               "The changes the logs carry for a table, in log order (Table.log_changes()).");
  t.tp_dealloc = changes_dealloc;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = changes_next;
  return t;
}
PyTypeObject g_changes_type = make_changes_type();

}  // namespace

int ready_log_change_type() { return PyType_Ready(&g_changes_type); }

PyObject* ese_get_logs(PyObject* self, void*) {
  PyObject* logs = reinterpret_cast<PyEseDatabase*>(self)->logs;
  return Py_NewRef(logs ? logs : Py_None);
}

PyObject* ese_log_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"logs", "types", nullptr};
    PyObject *logs_arg = nullptr, *names = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:log_records", const_cast<char**>(kwlist), &logs_arg,
                                     &names))
      return nullptr;
    const Database* db = open_db(self);
    if (!db) return nullptr;
    std::vector<std::uint8_t> types;
    if (!record_types_arg(names, types, "log_records")) return nullptr;
    PyRef logs(logs_for(self, logs_arg, "log_records"));
    if (!logs) return nullptr;
    auto owners = tree_owners(*db);
    if (!owners) return nullptr;
    return new_log_record_iterator(logs.get(), std::move(types), std::move(owners));
  });
}

PyObject* ese_log_coverage(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"logs", nullptr};
    PyObject* logs_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:log_coverage", const_cast<char**>(kwlist), &logs_arg))
      return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    PyRef logs(logs_for(self, logs_arg, "log_coverage"));
    if (!logs) return nullptr;
    const SharedLogSet set = shared_log_set(logs.get());
    auto coverage = without_gil([&] { return log_coverage(*db, *set); });
    if (!coverage) return raise_os_error("Error reading logs: " + coverage.error().to_string());
    return coverage_dict(*db, *coverage);
  });
}

PyObject* table_log_changes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"logs", "typed", nullptr};
    PyObject* logs_arg = nullptr;
    int typed = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$p:log_changes", const_cast<char**>(kwlist), &logs_arg,
                                     &typed))
      return nullptr;
    auto* t = reinterpret_cast<PyTable*>(self);
    if (!table_db(t)) return nullptr;
    PyRef logs(logs_for(t->owner, logs_arg, "log_changes"));
    if (!logs) return nullptr;
    auto dicts = std::make_unique<RowDicts>();
    if (!dicts->init(*t->table)) return nullptr;
    auto* it = PyObject_New(PyLogChangeIterator, &g_changes_type);
    if (!it) return nullptr;
    it->owner = Py_NewRef(t->owner);
    it->logs = logs.release();
    it->database = new SharedDatabase(*t->database);
    it->table = t->table;
    it->stream = new TableChangeStream(**it->database, *t->table, *shared_log_set(it->logs), typed != 0);
    it->dicts = dicts.release();
    it->typed = typed != 0;
    return reinterpret_cast<PyObject*>(it);
  });
}

}  // namespace pw::py
