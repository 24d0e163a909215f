// The LogSet type (pagewright.LogSet): a log stream's files, generations, checkpoint and databases, and its
// records as dicts, read lazily in log order.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "../log/log_layout.hpp"
#include "../log/record_fields.hpp"
#include "../log/record_types.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "log_objects.hpp"

namespace pw::py {
namespace {

#define PW_KW_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

struct PyLogSet {
  PyObject ob_base;
  SharedLogSet* set;
  PyObject* paths;  // the tuple of str it was opened from
};

PyObject* bytes_object(Bytes b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
}

PyObject* text_object(const std::string& s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

PyObject* path_object(const std::string& s) {
  return PyUnicode_DecodeFSDefaultAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* optional_text(const std::string& s) { return s.empty() ? Py_NewRef(Py_None) : text_object(s); }

PyObject* database_dict(const AttachedDatabase& db) {
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "dbid", PyLong_FromLong(db.dbid)) || !put(d.get(), "path", text_object(db.path)) ||
      !put(d.get(), "database_signature", signature_dict(db.database_signature)) ||
      !put(d.get(), "log_signature", signature_dict(db.log_signature)) ||
      !put(d.get(), "attach_position", log_position(db.attach_position)) ||
      !put(d.get(), "consistent_position", log_position(db.consistent_position)))
    return nullptr;
  return d.release();
}

PyObject* databases_list(const std::vector<AttachedDatabase>& dbs) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const AttachedDatabase& db : dbs) {
    PyRef item(database_dict(db));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* records_by_type(const GenerationSummary& s) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  for (std::size_t type = 0; type < s.records_by_type.size(); ++type) {
    if (s.records_by_type[type] == 0) continue;
    const std::string_view name = log_record_type_name(static_cast<std::uint8_t>(type));
    PyRef key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    PyRef count(PyLong_FromUnsignedLongLong(s.records_by_type[type]));
    if (!key || !count || PyDict_SetItem(d.get(), key.get(), count.get()) < 0) return nullptr;
  }
  return d.release();
}

PyObject* damage_dict(const GenerationDamage& g) {
  return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "damaged_segments",
                       static_cast<unsigned long long>(g.damaged_segments), "bad_records",
                       static_cast<unsigned long long>(g.bad_records), "bad_fragments",
                       static_cast<unsigned long long>(g.bad_fragments), "unknown_records",
                       static_cast<unsigned long long>(g.unknown_records), "incomplete_records",
                       static_cast<unsigned long long>(g.incomplete_records), "torn_records",
                       static_cast<unsigned long long>(g.torn_records));
}

PyObject* optional_position(const std::optional<LogPosition>& p) {
  return p ? log_position(*p) : Py_NewRef(Py_None);
}

PyObject* generation_dict(const LogSet& set, const Generation& g) {
  const LogFile& f = set.files()[g.file];
  const LogFileHeader& h = *f.log;
  const GenerationSummary& s = g.summary;
  PyRef damaged(PyList_New(0));
  if (!damaged) return nullptr;
  for (const std::uint16_t n : s.damaged_segment_numbers) {
    PyRef v(PyLong_FromLong(n));
    if (!v || PyList_Append(damaged.get(), v.get()) < 0) return nullptr;
  }
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "generation", PyLong_FromUnsignedLong(g.number)) ||
      !put(d.get(), "path", path_object(f.path)) || !put(d.get(), "created", log_time_object(h.created)) ||
      !put(d.get(), "previous_created", log_time_object(h.previous_created)) ||
      !put(d.get(), "signature", signature_dict(h.signature)) ||
      !put(d.get(), "signature_matches", PyBool_FromLong(g.signature_matches)) ||
      !put(d.get(), "version", Py_BuildValue("(kkkk)", static_cast<unsigned long>(h.major),
                                            static_cast<unsigned long>(h.minor),
                                            static_cast<unsigned long>(h.update_major),
                                            static_cast<unsigned long>(h.update_minor))) ||
      !put(d.get(), "header_checksum_ok", PyBool_FromLong(h.checksum_ok)) ||
      !put(d.get(), "sector_size", PyLong_FromLong(h.sector_size)) ||
      !put(d.get(), "sectors", PyLong_FromLong(h.file_sectors)) ||
      !put(d.get(), "checkpoint", log_position(h.checkpoint)) ||
      !put(d.get(), "segments", PyLong_FromUnsignedLong(s.segments)) ||
      !put(d.get(), "damaged_segments", damaged.release()) || !put(d.get(), "records", records_by_type(s)) ||
      !put(d.get(), "record_count", PyLong_FromUnsignedLongLong(s.records)) ||
      !put(d.get(), "first_segment_time", log_time_object(s.first_segment_time)) ||
      !put(d.get(), "last_segment_time", log_time_object(s.last_segment_time)) ||
      !put(d.get(), "last_record", optional_position(s.last_record)) ||
      !put(d.get(), "end", PyUnicode_FromString(generation_end_name(s.end))) ||
      !put(d.get(), "damage", damage_dict(s.damage)))
    return nullptr;
  return d.release();
}

PyObject* file_dict(const LogFile& f) {
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "path", path_object(f.path)) ||
      !put(d.get(), "kind", PyUnicode_FromString(log_file_kind_name(f.kind))) ||
      !put(d.get(), "size", PyLong_FromUnsignedLongLong(f.size)) ||
      !put(d.get(), "generation", f.log ? PyLong_FromUnsignedLong(f.log->generation) : Py_NewRef(Py_None)) ||
      !put(d.get(), "note", optional_text(f.note)))
    return nullptr;
  return d.release();
}

PyObject* checkpoint_dict(const LogFile& f) {
  const CheckpointHeader& c = *f.checkpoint;
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "path", path_object(f.path)) || !put(d.get(), "position", log_position(c.checkpoint)) ||
      !put(d.get(), "consistent_position", log_position(c.consistent_position)) ||
      !put(d.get(), "signature", signature_dict(c.signature)) ||
      !put(d.get(), "checksum_ok", PyBool_FromLong(c.checksum_ok)) ||
      !put(d.get(), "header_source", PyUnicode_FromString(c.shadow ? "shadow" : "primary")))
    return nullptr;
  return d.release();
}

// Record dicts --------------------------------------------------------------------------------------------

bool put_page_fields(PyObject* d, const PageRecordFields& f) {
  const bool before_checked = f.dbtime_before != ~std::uint64_t{0};
  if (!put(d, "session", PyLong_FromLong(f.session)) || !put(d, "dbid", PyLong_FromLong(f.dbid)) ||
      !put(d, "page", PyLong_FromUnsignedLong(f.page)) ||
      !put(d, "dbtime", PyLong_FromUnsignedLongLong(f.dbtime)) ||
      !put(d, "dbtime_before", before_checked ? PyLong_FromUnsignedLongLong(f.dbtime_before) : Py_NewRef(Py_None)) ||
      !put(d, "trx_begin0", PyLong_FromUnsignedLong(f.trx_begin0)) || !put(d, "level", PyLong_FromLong(f.level)) ||
      !put(d, "line", PyLong_FromLong(f.line)) || !put(d, "flags", PyLong_FromLong(f.flags)) ||
      !put(d, "object_id", f.object_id ? PyLong_FromUnsignedLong(*f.object_id) : Py_NewRef(Py_None)))
    return false;
  return !f.node ||
         (put(d, "rceid", PyLong_FromUnsignedLong(f.rceid)) && put(d, "fdp_page", PyLong_FromUnsignedLong(f.fdp_page)));
}

bool put_node_image(PyObject* d, std::uint8_t type, const NodeImage& image) {
  std::string key(reinterpret_cast<const char*>(image.key_prefix.data()), image.key_prefix.size());
  key.append(reinterpret_cast<const char*>(image.key.data()), image.key.size());
  if (!put(d, "key", PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))) ||
      !put(d, "data", bytes_object(image.data)) ||
      !put(d, "diff", PyBool_FromLong(image.kind == NodeImageKind::Diff)))
    return false;
  const bool replace = type == log_layout::type::kReplace || type == log_layout::type::kReplaceDiff;
  return !replace ||
         (put(d, "old_size", PyLong_FromLong(image.old_size)) && put(d, "new_size", PyLong_FromLong(image.new_size)));
}

bool put_transaction(PyObject* d, const TransactionFields& t) {
  if (!put(d, "session", PyLong_FromLong(t.session))) return false;
  switch (t.step) {
    case TransactionStep::Begin:
      if (!put(d, "level", PyLong_FromLong(t.level)) || !put(d, "levels", PyLong_FromLong(t.levels))) return false;
      break;
    case TransactionStep::Commit:
      if (!put(d, "level", PyLong_FromLong(t.level))) return false;
      break;
    case TransactionStep::Rollback:
      if (!put(d, "levels", PyLong_FromLong(t.levels))) return false;
      break;
  }
  return put(d, "trx", t.trx ? PyLong_FromUnsignedLong(*t.trx) : Py_NewRef(Py_None));
}

PyObject* record_dict(const LogRecord& r, const TreeOwners* owners) {
  const std::string_view name = log_record_type_name(r.type());
  PyRef d(PyDict_New());
  if (!d || !put(d.get(), "position", log_position(r.position)) ||
      !put(d.get(), "segment_time", log_time_object(r.segment_time)) ||
      !put(d.get(), "type", PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))) ||
      !put(d.get(), "type_code", PyLong_FromLong(r.type())) ||
      !put(d.get(), "size", PyLong_FromSize_t(r.bytes.size())) ||
      !put(d.get(), "fragmented", PyBool_FromLong(r.joined)))
    return nullptr;
  if (auto f = page_record_fields(r.bytes)) {
    if (!put_page_fields(d.get(), *f)) return nullptr;
    if (owners && f->object_id) {
      const auto it = owners->find(*f->object_id);
      if (it != owners->end()) {
        // A space operation changes the owned- or available-extent tree of the tree it names.
        const char* tree = (f->flags & log_layout::kFlagSpace) ? "space" : it->second.tree;
        if (!put(d.get(), "table", Py_NewRef(it->second.table.get())) ||
            !put(d.get(), "tree", PyUnicode_FromString(tree)))
          return nullptr;
      }
    }
  }
  if (auto image = node_image(r.bytes); image && !put_node_image(d.get(), r.type(), *image)) return nullptr;
  if (auto t = transaction_fields(r.bytes); t && !put_transaction(d.get(), *t)) return nullptr;
  if (auto db = attached_database(r)) {
    if (!put(d.get(), "dbid", PyLong_FromLong(db->dbid)) || !put(d.get(), "path", text_object(db->path)) ||
        !put(d.get(), "database_signature", signature_dict(db->database_signature)))
      return nullptr;
  }
  return d.release();
}

// Record iterators ----------------------------------------------------------------------------------------

struct PyLogRecordIterator {
  PyObject ob_base;
  PyObject* owner;  // the LogSet object
  LogSetReader* reader;
  std::vector<std::uint8_t>* types;
  TreeOwners* owners;
  std::uint64_t since_signal_check;
};

void records_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<PyLogRecordIterator*>(self);
  delete it->reader;
  delete it->types;
  delete it->owners;
  Py_CLEAR(it->owner);
  Py_TYPE(self)->tp_free(self);
}

PyObject* records_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<PyLogRecordIterator*>(self);
    LogRecord record;
    for (;;) {
      if (++it->since_signal_check >= kRowsBetweenSignalChecks) {
        it->since_signal_check = 0;
        if (PyErr_CheckSignals() < 0) return nullptr;
      }
      auto more = it->reader->next(record);
      if (!more) return raise_os_error("Error reading logs: " + more.error().to_string());
      if (!*more) return nullptr;  // StopIteration
      if (it->types->empty() ||
          std::find(it->types->begin(), it->types->end(), record.type()) != it->types->end())
        return record_dict(record, it->owners);
    }
  });
}

PyTypeObject make_records_type() {
  PyTypeObject t = static_type("pagewright.LogRecordIterator", sizeof(PyLogRecordIterator),
                               "The records of a log set as dicts, read lazily in log order (LogSet.records()).");
  t.tp_dealloc = records_dealloc;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = records_next;
  return t;
}
PyTypeObject g_records_type = make_records_type();

// LogSet ---------------------------------------------------------------------------------------------------

// The paths a `paths` argument names: one str or path-like object, or an iterable of them.
bool path_list(PyObject* arg, std::vector<std::string>& out, PyObject*& shown, const char* func) {
  PyRef items;
  if (PyUnicode_Check(arg) || PyBytes_Check(arg) || PyObject_HasAttrString(arg, "__fspath__")) {
    items = PyRef(PyTuple_Pack(1, arg));
  } else {
    items = PyRef(PySequence_Tuple(arg));
    if (!items) {
      PyErr_Format(PyExc_TypeError, "%s() argument 'logs' must be a path or an iterable of paths, not %.200s", func,
                   Py_TYPE(arg)->tp_name);
      return false;
    }
  }
  if (!items) return false;
  PyRef strs(PyTuple_New(PyTuple_GET_SIZE(items.get())));
  if (!strs) return false;
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(items.get()); ++k) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(PyTuple_GET_ITEM(items.get(), k), &encoded)) return false;
    PyRef held(encoded);
    out.emplace_back(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
    if (!text) return false;
    PyTuple_SET_ITEM(strs.get(), k, text);
    struct stat st {};
    if (std::strlen(PyBytes_AS_STRING(encoded)) != out.back().size() || ::stat(out.back().c_str(), &st) != 0) {
      PyErr_Format(PyExc_FileNotFoundError, "Log file or directory not found: %U", text);
      return false;
    }
  }
  shown = strs.release();
  return true;
}

PyObject* open_log_set(PyTypeObject* type, PyObject* arg, const char* func) {
  std::vector<std::string> paths;
  PyObject* shown = nullptr;
  if (!path_list(arg, paths, shown, func)) return nullptr;
  PyRef shown_ref(shown);
  auto opened = without_gil([&] { return LogSet::open(paths); });
  if (!opened) return raise_os_error("Failed to read logs: " + opened.error().to_string());
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* obj = reinterpret_cast<PyLogSet*>(self);
  obj->set = new SharedLogSet(std::make_shared<const LogSet>(std::move(opened).value()));
  obj->paths = shown_ref.release();
  return self;
}

PyObject* log_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"paths", nullptr};
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LogSet", const_cast<char**>(kwlist), &arg)) return nullptr;
    return open_log_set(type, arg, "LogSet");
  });
}

void log_set_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<PyLogSet*>(self);
  delete obj->set;
  Py_CLEAR(obj->paths);
  Py_TYPE(self)->tp_free(self);
}

const LogSet& set_of(PyObject* self) { return **reinterpret_cast<PyLogSet*>(self)->set; }

template <class F>
PyObject* guarded_get(PyObject* self, F&& f) {
  return guarded([&]() -> PyObject* { return f(set_of(self)); });
}

PyObject* get_paths(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<PyLogSet*>(self)->paths); }

PyObject* get_files(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const LogFile& f : set.files()) {
      PyRef item(file_dict(f));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* get_generations(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const Generation& g : set.generations()) {
      PyRef item(generation_dict(set, g));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* get_checkpoint(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    const LogFile* chk = set.checkpoint();
    return chk ? checkpoint_dict(*chk) : Py_NewRef(Py_None);
  });
}

PyObject* get_databases(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) { return databases_list(set.databases()); });
}

PyObject* get_signature(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    const auto s = set.signature();
    return s ? signature_dict(*s) : Py_NewRef(Py_None);
  });
}

PyObject* get_missing(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const std::uint32_t n : set.missing_generations()) {
      PyRef v(PyLong_FromUnsignedLong(n));
      if (!v || PyList_Append(list.get(), v.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* get_damage(PyObject* self, void*) {
  return guarded_get(self, [](const LogSet& set) -> PyObject* {
    GenerationDamage total;
    for (const Generation& g : set.generations()) {
      const GenerationDamage& d = g.summary.damage;
      total.damaged_segments += d.damaged_segments;
      total.bad_records += d.bad_records;
      total.bad_fragments += d.bad_fragments;
      total.unknown_records += d.unknown_records;
      total.incomplete_records += d.incomplete_records;
      total.torn_records += d.torn_records;
    }
    return damage_dict(total);
  });
}

PyObject* log_set_records(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"types", nullptr};
    PyObject* names = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:records", const_cast<char**>(kwlist), &names)) return nullptr;
    std::vector<std::uint8_t> types;
    if (!record_types_arg(names, types, "records")) return nullptr;
    return new_log_record_iterator(self, std::move(types), nullptr);
  });
}

PyObject* log_set_repr(PyObject* self) {
  const LogSet& set = set_of(self);
  return PyUnicode_FromFormat("<LogSet %R: %zu generations>", reinterpret_cast<PyLogSet*>(self)->paths,
                              set.generations().size());
}

PyMethodDef kLogSetMethods[] = {
    {"records", PW_KW_METHOD(log_set_records), METH_VARARGS | METH_KEYWORDS,
     "records($self, /, *, types=None)\n--\n\nThe records of every generation in log order, as dicts, read lazily: "
     "'position' {generation, sector, block}, 'segment_time', 'type' (the engine's name: 'Insert', 'Commit0', ...), "
     "'type_code', 'size', 'fragmented'; records that change a page add 'session', 'dbid', 'page', 'dbtime', "
     "'dbtime_before' (None when not checked), 'trx_begin0', 'level', 'line', 'flags', 'object_id' (and "
     "for node records 'rceid', 'fdp_page'); inserts and replaces add 'key', 'data' and 'diff' (True: 'data' is "
     "the difference from the before image; replaces also give 'old_size' and 'new_size'); transaction records "
     "add 'session', 'level' / 'levels' and 'trx'; CreateDB and AttachDB add 'dbid', 'path' and "
     "'database_signature'.\n\ntypes: names of the record types to give (the others are passed over)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLogSetGetSet[] = {
    {"paths", get_paths, nullptr, "The paths the set was read from.", nullptr},
    {"files", get_files, nullptr,
     "Every log file found: dicts {path, kind ('log', 'checkpoint', 'unused', 'other'), size, generation, note "
     "(why it is not read or what is odd about it, else None)}.",
     nullptr},
    {"generations", get_generations, nullptr,
     "The generations in order: dicts {generation, path, created, previous_created, signature, signature_matches, "
     "version (major, minor, update major, update minor), header_checksum_ok, sector_size, sectors, checkpoint, "
     "segments (read for records), damaged_segments (their sector numbers), records ({type name: count}), "
     "record_count, first_segment_time, last_segment_time, last_record, end (why the records end: 'end of data', "
     "'end of file', 'unknown record type', 'unsupported log format', 'file unreadable'), damage}.",
     nullptr},
    {"checkpoint", get_checkpoint, nullptr,
     "The checkpoint file: {path, position (where recovery starts), consistent_position, signature, checksum_ok, "
     "header_source}, or None.",
     nullptr},
    {"databases", get_databases, nullptr,
     "The databases the logs attached (attach lists, CreateDB and AttachDB records): dicts {dbid, path, "
     "database_signature, log_signature, attach_position, consistent_position}.",
     nullptr},
    {"signature", get_signature, nullptr,
     "The log signature of the stream (the checkpoint's, else the newest generation's), or None.", nullptr},
    {"missing_generations", get_missing, nullptr,
     "Generation numbers absent between the lowest and the highest present (at most 1000).", nullptr},
    {"damage", get_damage, nullptr,
     "What reading the records met, summed over the generations: damaged_segments, bad_records, bad_fragments, "
     "unknown_records, incomplete_records, and torn_records (the torn write of a dirty shutdown, not damage).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_log_set_type() {
  PyTypeObject t = static_type(
      "pagewright.LogSet", sizeof(PyLogSet),
      "LogSet(paths)\n--\n\nThe transaction logs of an ESE log stream, read-only: each path is a directory (its "
      "log files, whatever their names: the header says what a file is) or a file. Every record is read once "
      "when the set is made, for the summaries; records() reads them again, lazily.\n\nRaises:\n    "
      "FileNotFoundError: a path does not exist\n    OSError: a log file cannot be read");
  t.tp_new = log_set_new;
  t.tp_dealloc = log_set_dealloc;
  t.tp_repr = log_set_repr;
  t.tp_methods = kLogSetMethods;
  t.tp_getset = kLogSetGetSet;
  return t;
}
PyTypeObject g_log_set_type = make_log_set_type();

}  // namespace

PyTypeObject* log_set_type() { return &g_log_set_type; }

int ready_log_types() {
  return PyType_Ready(&g_log_set_type) < 0 || PyType_Ready(&g_records_type) < 0 || ready_log_change_type() < 0 ? -1
                                                                                                            : 0;
}

PyObject* log_set_from_arg(PyObject* arg, const char* func) {
  if (PyObject_TypeCheck(arg, &g_log_set_type)) return Py_NewRef(arg);
  return open_log_set(&g_log_set_type, arg, func);
}

SharedLogSet shared_log_set(PyObject* log_set_object) { return *reinterpret_cast<PyLogSet*>(log_set_object)->set; }

PyObject* new_log_record_iterator(PyObject* log_set_object, std::vector<std::uint8_t> types,
                                  std::unique_ptr<TreeOwners> owners) {
  auto* it = PyObject_New(PyLogRecordIterator, &g_records_type);
  if (!it) return nullptr;
  it->owner = Py_NewRef(log_set_object);
  it->reader = new LogSetReader(set_of(log_set_object));
  it->types = new std::vector<std::uint8_t>(std::move(types));
  it->owners = owners.release();
  it->since_signal_check = 0;
  return reinterpret_cast<PyObject*>(it);
}

bool record_types_arg(PyObject* names, std::vector<std::uint8_t>& out, const char* func) {
  if (names == nullptr || names == Py_None) return true;
  if (PyUnicode_Check(names)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'types' must be an iterable of type names, not str", func);
    return false;
  }
  PyRef iter(PyObject_GetIter(names));
  if (!iter) return false;
  while (PyRef name{PyIter_Next(iter.get())}) {
    std::string text;
    if (!arg_as_utf8(name.get(), func, "types", text)) return false;
    std::uint8_t type = 0;
    if (!parse_log_record_type(text, type)) {
      PyErr_Format(PyExc_ValueError, "Unknown log record type: %R", name.get());
      return false;
    }
    out.push_back(type);
  }
  return !PyErr_Occurred();
}

}  // namespace pw::py
