// Arrow streams of a table through the Arrow PyCapsule interface: Table.arrow() gives an ArrowStream source,
// and every __arrow_c_stream__ call opens a new core stream over the table wrapped in a capsule.
#include <memory>

#include "../columnar/arrow_stream.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "py_ref.hpp"
#include "table_object.hpp"

namespace pw::py {
namespace {

#define PW_KW_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

constexpr const char* kCapsuleName = "arrow_array_stream";

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}

// A share of the database for a stream that a consumer may release from any thread: the share is dropped
// with the GIL held, as every share must be (a buffer source gives its Python buffer back then).
std::shared_ptr<const Database> gil_guarded_share(const SharedDatabase& db) {
  auto held = std::make_unique<SharedDatabase>(db);
  const Database* raw = held->get();
  return std::shared_ptr<const Database>(raw, [held = held.release()](const Database*) {
    if (interpreter_finalizing()) return;  // no thread may take the GIL any more: the share is left
    const PyGILState_STATE state = PyGILState_Ensure();
    delete held;
    PyGILState_Release(state);
  });
}

void capsule_destructor(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kCapsuleName));
  if (!stream) {
    PyErr_Clear();
    return;
  }
  if (stream->release) stream->release(stream);  // not taken by a consumer
  delete stream;
}

// A capsule holding a new stream of the table's rows; `report` receives the stream's counts.
PyObject* stream_capsule(PyObject* table_obj, const columnar::ArrowStreamOptions& options,
                         std::shared_ptr<columnar::StreamReport>* report) {
  auto* t = reinterpret_cast<PyTable*>(table_obj);
  if (!table_db(t)) return nullptr;
  auto stream = std::make_unique<ArrowArrayStream>();
  *stream = ArrowArrayStream{};
  auto opened = columnar::open_arrow_stream(gil_guarded_share(*t->database), t->table->name, options, stream.get());
  if (!opened) return raise_os_error("Error reading record: " + opened.error().to_string());
  if (report) *report = opened.value();
  PyObject* capsule = PyCapsule_New(stream.get(), kCapsuleName, capsule_destructor);
  if (!capsule) {
    stream->release(stream.get());
    return nullptr;
  }
  stream.release();
  return capsule;
}

// ArrowStream ----------------------------------------------------------------------------------------------

struct PyArrowSource {
  PyObject ob_base;
  PyObject* table;  // the Table
  columnar::ArrowStreamOptions* options;
  std::shared_ptr<columnar::StreamReport>* report;  // of the latest stream
};

void source_dealloc(PyObject* self) {
  auto* s = reinterpret_cast<PyArrowSource*>(self);
  delete s->options;
  delete s->report;
  Py_CLEAR(s->table);
  Py_TYPE(self)->tp_free(self);
}

PyObject* source_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;  // the stream's own types are kept: consumers cast when they need to
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(kwlist), &requested))
      return nullptr;
    auto* s = reinterpret_cast<PyArrowSource*>(self);
    return stream_capsule(s->table, *s->options, s->report);
  });
}

// {field name: count} of the nonzero counts of one of the latest stream's per-column counters.
PyObject* report_counts(PyObject* self, std::unique_ptr<std::atomic<std::uint64_t>[]> columnar::StreamReport::*counts) {
  return guarded([&]() -> PyObject* {
    const auto& report = *reinterpret_cast<PyArrowSource*>(self)->report;
    PyRef dict(PyDict_New());
    if (!dict || !report) return dict.release();
    for (std::size_t c = 0; c < report->names.size(); ++c) {
      const std::uint64_t n = ((*report).*counts)[c].load(std::memory_order_relaxed);
      if (n == 0) continue;
      PyRef key(
          PyUnicode_DecodeUTF8(report->names[c].data(), static_cast<Py_ssize_t>(report->names[c].size()), "replace"));
      PyRef count(PyLong_FromUnsignedLongLong(n));
      if (!key || !count || PyDict_SetItem(dict.get(), key.get(), count.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* source_unreadable(PyObject* self, void*) { return report_counts(self, &columnar::StreamReport::unreadable); }

PyObject* source_missing_long_values(PyObject* self, void*) {
  return report_counts(self, &columnar::StreamReport::missing_long_values);
}

// {field: {reason: count}} of the latest stream's values whose stored form cannot be read.
PyObject* source_unreadable_reasons(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const auto& report = *reinterpret_cast<PyArrowSource*>(self)->report;
    PyRef dict(PyDict_New());
    if (!dict || !report) return dict.release();
    for (std::size_t c = 0; c < report->names.size(); ++c) {
      UnreadableCounts reasons{};
      std::uint64_t total = 0;
      for (std::size_t r = 0; r < kUnreadableKinds; ++r)
        total += reasons[r] = report->reasons[c * kUnreadableKinds + r].load(std::memory_order_relaxed);
      if (total == 0) continue;
      PyRef key(
          PyUnicode_DecodeUTF8(report->names[c].data(), static_cast<Py_ssize_t>(report->names[c].size()), "replace"));
      PyRef counts(key ? unreadable_dict(reasons) : nullptr);
      if (!counts || PyDict_SetItem(dict.get(), key.get(), counts.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* source_repr(PyObject* self) {
  return PyUnicode_FromFormat("<ArrowStream of %R>", reinterpret_cast<PyArrowSource*>(self)->table);
}

PyMethodDef kSourceMethods[] = {
    {"__arrow_c_stream__", PW_KW_METHOD(source_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of a new stream over the table's rows (the Arrow PyCapsule interface)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSourceGetSet[] = {
    {"unreadable_values", source_unreadable, nullptr,
     "{field: count} of values the latest stream wrote as null because they have no form of the column's Arrow "
     "type (a DateTime that no timestamp reading accepts, a fixed value stored short, a value too large for one "
     "array), or could not give whole (a multi-value whose element offsets go back, cut there; a long value "
     "joined again past the read's budget of repeated joins), or whose stored form cannot be read (see "
     "unreadable_reasons); counted as batches are built, complete once the stream has ended.",
     nullptr},
    {"missing_long_values", source_missing_long_values, nullptr,
     "{field: count} of long-value references of the latest stream that no long value answers (the values are "
     "null); counted as batches are built, complete once the stream has ended.",
     nullptr},
    {"unreadable_reasons", source_unreadable_reasons, nullptr,
     "{field: {reason: count}} of the values the latest stream wrote as null because their stored form cannot be "
     "read: 'scrubbed', 'xpress9', 'xpress10', 'unknown_compression', 'corrupt_compression', 'encrypted'.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_source_type() {
  PyTypeObject t{};
  Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
  t.tp_name = "pagewright.ArrowStream";
  t.tp_basicsize = sizeof(PyArrowSource);
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_doc = "The rows of a table as an Arrow stream source (Table.arrow()).";
  t.tp_dealloc = source_dealloc;
  t.tp_repr = source_repr;
  t.tp_methods = kSourceMethods;
  t.tp_getset = kSourceGetSet;
  return t;
}
PyTypeObject g_source_type = make_source_type();

PyObject* import_for(const char* module, const char* method, const char* extra = "arrow") {
  PyObject* imported = PyImport_ImportModule(module);
  if (imported || !PyErr_ExceptionMatches(PyExc_ImportError)) return imported;
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "%s is required for Table.%s(): pip install 'pagewright[%s]'", module, method,
               extra);
  return nullptr;
}

// pyarrow.table() of the source that arrow(*args, **kwargs) gives.
PyObject* arrow_table(PyObject* self, PyObject* args, PyObject* kwargs, const char* method) {
  PyRef pyarrow(import_for("pyarrow", method));
  if (!pyarrow) return nullptr;
  PyRef source(table_arrow(self, args, kwargs));
  return source ? PyObject_CallMethod(pyarrow.get(), "table", "O", source.get()) : nullptr;
}

}  // namespace

PyObject* table_arrow(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"typed", "columns", "deleted", "timestamps", "batch_rows", "batch_bytes",
                                   nullptr};
    int typed = 1;
    PyObject *columns = nullptr, *deleted = nullptr, *timestamps = nullptr;
    Py_ssize_t batch_rows = 65536;
    Py_ssize_t batch_bytes = static_cast<Py_ssize_t>(columnar::kDefaultBatchBytes);
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pOOOnn:arrow", const_cast<char**>(kwlist), &typed, &columns,
                                     &deleted, &timestamps, &batch_rows, &batch_bytes))
      return nullptr;
    auto* t = reinterpret_cast<PyTable*>(self);
    if (!table_db(t)) return nullptr;
    if (batch_rows < 1 || batch_bytes < 1) {
      PyErr_Format(PyExc_ValueError, "arrow() argument '%s' must be at least 1",
                   batch_rows < 1 ? "batch_rows" : "batch_bytes");
      return nullptr;
    }
    auto options = std::make_unique<columnar::ArrowStreamOptions>();
    options->table.typed = typed != 0;
    options->batch_rows = static_cast<std::size_t>(batch_rows);
    options->batch_bytes = static_cast<std::size_t>(batch_bytes);
    if (!wanted_columns(*t->table, columns, options->table.wanted, "arrow", &options->table.order) ||
        !timestamp_readings(*t->table, timestamps, options->table.readings, "arrow") ||
        !deleted_mode(deleted, options->deleted, "arrow"))
      return nullptr;
    auto report = std::make_unique<std::shared_ptr<columnar::StreamReport>>();
    auto* s = PyObject_New(PyArrowSource, &g_source_type);
    if (!s) return nullptr;
    s->table = Py_NewRef(self);
    s->options = options.release();
    s->report = report.release();
    return reinterpret_cast<PyObject*>(s);
  });
}

PyObject* table_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__", const_cast<char**>(kwlist), &requested))
      return nullptr;
    return stream_capsule(self, columnar::ArrowStreamOptions{}, nullptr);
  });
}

PyObject* table_to_arrow(PyObject* self, PyObject* args, PyObject* kwargs) {
  return arrow_table(self, args, kwargs, "to_arrow");
}

// Arrow-backed dtypes keep every value exact: a 64-bit integer column with nulls stays int64 (NumPy dtypes
// would make it float64 and round values past 2**53), and instants stay timestamps in UTC.
PyObject* table_to_pandas(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyRef pandas(import_for("pandas", "to_pandas", "dataframes"));
  if (!pandas) return nullptr;
  PyRef table(arrow_table(self, args, kwargs, "to_pandas"));
  if (!table) return nullptr;
  PyRef mapper(PyObject_GetAttrString(pandas.get(), "ArrowDtype"));
  PyRef method(PyObject_GetAttrString(table.get(), "to_pandas"));
  PyRef empty(PyTuple_New(0));
  PyRef options(Py_BuildValue("{s:O}", "types_mapper", mapper.get()));
  if (!mapper || !method || !empty || !options) return nullptr;
  return PyObject_Call(method.get(), empty.get(), options.get());
}

int ready_arrow_types() { return PyType_Ready(&g_source_type); }

PyObject* arrow_stream_type_object() { return reinterpret_cast<PyObject*>(&g_source_type); }

}  // namespace pw::py
