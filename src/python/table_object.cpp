#include "table_object.hpp"

#include <memory>
#include <unordered_map>

#include "../cursor/table_cursor.hpp"
#include "../cursor/table_scan.hpp"
#include "../export/json_writer.hpp"
#include "../export/typed_form.hpp"
#include "../record/parser.hpp"
#include "../types/typed_value.hpp"
#include "damage_dicts.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "recover_methods.hpp"
#include "row_dicts.hpp"
#include "values.hpp"

namespace pw::py {
namespace {

#define PW_KW_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyTypeObject* g_column_type = nullptr;
PyTypeObject* g_index_type = nullptr;

PyStructSequence_Field kColumnFields[] = {
    {"id", "column id: 1-127 fixed, 128-255 variable, 256 and up tagged"},
    {"name", "column name"},
    {"type", "type name, e.g. 'Long long'"},
    {"type_code", "the engine's type code (0-18; 18 Unsigned long long, written by Windows 10 and later)"},
    {"kind", "'fixed', 'variable' or 'tagged'"},
    {"codepage", "codepage of a text column (1200 UTF-16LE, 1252, 20127), else None"},
    {"size", "bytes a fixed column takes; the maximum size of others (0: none)"},
    {"nullable", "False when the column has the not-null flag"},
    {"multi_valued", "the column can hold several values"},
    {"compressed", "values may be compressed"},
    {"default", "the column's default value (typed), or None"},
    {nullptr, nullptr}};
PyStructSequence_Desc kColumnDesc = {"pagewright.Column", "A column of a table (read-only).", kColumnFields, 11};

PyStructSequence_Field kIndexFields[] = {{"name", "index name"},
                                         {"columns", "names of the key columns in key order, or None when unknown"},
                                         {"unique", "keys are unique"},
                                         {"primary", "the primary index (the table's data tree itself)"},
                                         {nullptr, nullptr}};
PyStructSequence_Desc kIndexDesc = {"pagewright.Index", "An index of a table (read-only).", kIndexFields, 4};

const char* column_kind(std::uint32_t id) { return id <= 127 ? "fixed" : id <= 255 ? "variable" : "tagged"; }

PyObject* column_default(const ColumnInfo& c) {
  if (!c.default_value || !(c.flags & column_flag::kHasDefault)) Py_RETURN_NONE;
  auto value = RecordParser::parse_column_value(as_bytes(*c.default_value), c);
  if (!value) Py_RETURN_NONE;
  make_typed(value.value(), c, TimestampReading::Auto);
  return to_python(value.value(), true);
}

PyObject* make_column(const ColumnInfo& c) {
  PyRef item(PyStructSequence_New(g_column_type));
  if (!item) return nullptr;
  const auto type_name = column_type_name(c.column_type);
  PyObject* fields[] = {
      PyLong_FromUnsignedLong(c.id),
      name_to_str(c.name),
      PyUnicode_FromStringAndSize(type_name.data(), static_cast<Py_ssize_t>(type_name.size())),
      PyLong_FromUnsignedLong(c.column_type),
      PyUnicode_FromString(column_kind(c.id)),
      is_text_column(c) ? PyLong_FromUnsignedLong(codepage_of(c)) : Py_NewRef(Py_None),
      PyLong_FromUnsignedLong(c.space_usage),
      PyBool_FromLong(!(c.flags & column_flag::kNotNull)),
      PyBool_FromLong((c.flags & column_flag::kMultiValued) != 0),
      PyBool_FromLong((c.flags & column_flag::kCompressed) != 0),
      column_default(c),
  };
  bool ok = true;
  for (Py_ssize_t k = 0; k < 11; ++k) {
    if (!fields[k]) ok = false;
    PyStructSequence_SET_ITEM(item.get(), k, fields[k] ? fields[k] : Py_NewRef(Py_None));
  }
  return ok ? item.release() : nullptr;
}

// Column names by column id, built once for all the indexes of a table: a key column costs one lookup.
using ColumnNames = std::unordered_map<std::uint32_t, PyRef>;

bool column_names_by_id(const TableInfo& table, ColumnNames& names) {
  names.reserve(table.columns.size());
  for (const auto& entry : table.columns) {
    // Of columns sharing an id the last in catalog order names it, as a scan of the columns would.
    PyRef name(name_to_str(entry.second.name));
    if (!name) return false;
    names.insert_or_assign(entry.second.id, std::move(name));
  }
  return true;
}

PyObject* make_index(const ColumnNames& names, const IndexInfo& index) {
  PyRef item(PyStructSequence_New(g_index_type));
  if (!item) return nullptr;
  PyRef columns;
  if (index.key_columns) {
    columns = PyRef(PyTuple_New(static_cast<Py_ssize_t>(index.key_columns->size())));
    if (!columns) return nullptr;
    for (std::size_t k = 0; k < index.key_columns->size(); ++k) {
      const std::uint32_t id = (*index.key_columns)[k];
      const auto found = names.find(id);
      PyObject* name = found != names.end() ? Py_NewRef(found->second.get())
                                            : PyUnicode_FromFormat("#%u", static_cast<unsigned>(id));
      if (!name) return nullptr;
      PyTuple_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(k), name);
    }
  } else {
    columns = PyRef(Py_NewRef(Py_None));
  }
  PyObject* name = name_to_str(index.name);
  if (!name) return nullptr;
  PyStructSequence_SET_ITEM(item.get(), 0, name);
  PyStructSequence_SET_ITEM(item.get(), 1, columns.release());
  PyStructSequence_SET_ITEM(item.get(), 2, PyBool_FromLong((index.flags & index_flag::kUnique) != 0));
  PyStructSequence_SET_ITEM(item.get(), 3, PyBool_FromLong((index.flags & index_flag::kPrimary) != 0));
  return item.release();
}

// Row iterators --------------------------------------------------------------------------------------------

struct PyRowIterator {
  PyObject ob_base;
  PyObject* owner;  // the EseDatabase
  SharedDatabase* database;
  TableCursor* cursor;
  RowDicts* dicts;            // rows as dicts, or
  json::RowEncoder* encoder;  // rows as JSON text, encoded by the export's writer
  json::UnfitValues* unfit;   // values given in no form of their column's type, counted as the exports count them
  Row* row;
  bool typed;
};

void rows_dealloc(PyObject* self) {
  auto* it = reinterpret_cast<PyRowIterator*>(self);
  delete it->cursor;
  delete it->dicts;
  delete it->encoder;
  delete it->unfit;
  delete it->row;
  delete it->database;
  Py_CLEAR(it->owner);
  Py_TYPE(self)->tp_free(self);
}

PyObject* rows_next(PyObject* self) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<PyRowIterator*>(self);
    const Database* db = open_db(it->owner);
    if (!db || !it->cursor) return nullptr;
    auto more = it->cursor->next_row(*it->row);
    if (!more) return raise_os_error("Error reading record: " + more.error().to_string());
    if (!*more) return nullptr;  // StopIteration
    it->unfit->check(*it->row, it->cursor->unreadable_values());
    if (!it->encoder) return it->dicts->make(*it->row, it->typed);
    std::string line;
    it->encoder->append_row(line, *it->row, it->cursor->row_deleted());
    if (!line.empty()) line.pop_back();  // the line feed
    return PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), "strict");
  });
}

PyObject* rows_get_damage(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    auto* it = reinterpret_cast<PyRowIterator*>(self);
    PyRef dict(PyDict_New());
    if (!dict || !walk_counts_items(dict.get(), it->cursor->counts())) return nullptr;
    PyRef missing(column_counts_dict(it->cursor->table(), it->cursor->missing_long_values()));
    PyRef unreadable(column_counts_dict(it->cursor->table(), it->unfit->with(it->cursor->unreadable_values())));
    if (!missing || PyDict_SetItemString(dict.get(), "missing_long_values", missing.get()) < 0 || !unreadable ||
        PyDict_SetItemString(dict.get(), "unreadable_values", unreadable.get()) < 0)
      return nullptr;
    return dict.release();
  });
}

PyObject* rows_unreadable(PyObject* self, void*) {
  auto* it = reinterpret_cast<PyRowIterator*>(self);
  return guarded([&] { return unreadable_report(it->cursor->table(), *it->cursor); });
}

PyGetSetDef kRowsGetSet[] = {
    {"damage", rows_get_damage, nullptr,
     "What the iteration passed over so far (complete once it has ended): the walk counts (bad_entries, "
     "overlapping_entries, foreign_pages, loops, unreadable_pages) and missing_long_values, {column: count} of "
     "long-value references of the rows read that no long value answers (None in the typed view), and "
     "unreadable_values, {column: count} of values the cursor could not give whole or that have no form of their "
     "column's type (a fixed value stored short or long, given as its bytes), as the exports count them.",
     nullptr},
    {"unreadable_reasons", rows_unreadable, nullptr,
     "{column: {reason: count}} of the values read so far whose stored form cannot be read ('scrubbed', "
     "'xpress9', 'xpress10', 'unknown_compression', 'corrupt_compression', 'encrypted'): None in the typed view, "
     "the stored bytes in the raw one. Complete once the iteration has ended.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject make_rows_type() {
  PyTypeObject t = static_type("pagewright.RowIterator", sizeof(PyRowIterator),
                               "Rows of a table as dicts, read lazily (Table.rows()).");
  t.tp_dealloc = rows_dealloc;
  t.tp_getset = kRowsGetSet;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = rows_next;
  return t;
}
PyTypeObject g_rows_type = make_rows_type();

// Table ----------------------------------------------------------------------------------------------------

// An iterator over the table's rows with these options, made into dicts or into JSON text (one of the two).
PyObject* new_row_iterator(PyTable* t, CursorOptions options, std::unique_ptr<RowDicts> dicts,
                           std::unique_ptr<json::RowEncoder> encoder) {
  const Database* db = table_db(t);
  if (!db) return nullptr;
  const bool typed = options.typed;
  auto unfit = std::make_unique<json::UnfitValues>(*t->table, typed, options.readings);
  auto cursor = open_table(*db, t->table->name, std::move(options));
  if (!cursor) return raise_os_error("Error reading record: " + cursor.error().to_string());
  auto* it = PyObject_New(PyRowIterator, &g_rows_type);
  if (!it) return nullptr;
  it->owner = Py_NewRef(t->owner);
  it->database = new SharedDatabase(*t->database);
  it->cursor = new TableCursor(std::move(*cursor));
  it->dicts = dicts.release();
  it->encoder = encoder.release();
  it->unfit = unfit.release();
  it->row = new Row();
  it->typed = typed;
  return reinterpret_cast<PyObject*>(it);
}

PyObject* table_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"typed", "columns", "deleted", "timestamps", nullptr};
    int typed = 1;
    PyObject *columns = nullptr, *deleted = nullptr, *timestamps = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pOOO:rows", const_cast<char**>(kwlist), &typed, &columns,
                                     &deleted, &timestamps))
      return nullptr;
    auto* t = reinterpret_cast<PyTable*>(self);
    CursorOptions options;
    options.typed = typed != 0;
    options.deleted = DeletedRows::Exclude;
    std::vector<std::size_t> order;
    if (!wanted_columns(*t->table, columns, options.wanted, "rows", &order) ||
        !timestamp_readings(*t->table, timestamps, options.readings, "rows") ||
        !deleted_mode(deleted, options.deleted, "rows"))
      return nullptr;
    auto dicts = std::make_unique<RowDicts>();
    if (!dicts->init(*t->table, options.wanted.empty() ? nullptr : &order)) return nullptr;
    return new_row_iterator(t, std::move(options), std::move(dicts), nullptr);
  });
}

PyObject* table_json_lines(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"typed", "deleted", "timestamps", nullptr};
    int typed = 0;
    PyObject *deleted = nullptr, *timestamps = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pOO:json_lines", const_cast<char**>(kwlist), &typed, &deleted,
                                     &timestamps))
      return nullptr;
    auto* t = reinterpret_cast<PyTable*>(self);
    CursorOptions options;
    options.typed = typed != 0;
    options.deleted = DeletedRows::Exclude;
    if (!deleted_mode(deleted, options.deleted, "json_lines") ||
        !timestamp_readings(*t->table, timestamps, options.readings, "json_lines"))
      return nullptr;
    const bool marker = options.deleted != DeletedRows::Exclude;
    auto encoder = std::make_unique<json::RowEncoder>(*t->table, json::MemberNames::Keys, marker);
    return new_row_iterator(t, std::move(options), nullptr, std::move(encoder));
  });
}

PyObject* table_recover(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"typed", "sources", nullptr};
    int typed = 1;
    PyObject* sources_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$pO:recover", const_cast<char**>(kwlist), &typed, &sources_obj))
      return nullptr;
    auto* t = reinterpret_cast<PyTable*>(self);
    const Database* db = table_db(t);
    RecoverSources sources;
    if (!db || !parse_sources(sources_obj, sources)) return nullptr;
    return recovered_iterator(t->owner, *t->database, *t->table, sources, typed != 0);
  });
}

PyObject* table_iter(PyObject* self) {
  PyRef args(PyTuple_New(0));
  return args ? table_rows(self, args.get(), nullptr) : nullptr;
}

Py_ssize_t table_length(PyObject* self) {
  auto* t = reinterpret_cast<PyTable*>(self);
  const Database* db = table_db(t);
  if (!db) return -1;
  auto scan = without_gil([&] { return scan_table(*db, t->table->name); });
  if (!scan) {
    raise_os_error("Error reading record: " + scan.error().to_string());
    return -1;
  }
  return static_cast<Py_ssize_t>(scan->entries - scan->deleted);
}

PyObject* table_count(PyObject* self, PyObject*) {
  const Py_ssize_t n = table_length(self);
  return n < 0 ? nullptr : PyLong_FromSsize_t(n);
}

PyObject* table_get_name(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<PyTable*>(self)->name); }

PyObject* table_get_columns(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const TableInfo& table = *reinterpret_cast<PyTable*>(self)->table;
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(table.row_order.size())));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < table.row_order.size(); ++k) {
      PyObject* column = make_column(table.row_column(k));
      if (!column) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), column);
    }
    return tuple.release();
  });
}

PyObject* table_get_indexes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const TableInfo& table = *reinterpret_cast<PyTable*>(self)->table;
    PyRef list(PyList_New(0));
    ColumnNames names;
    if (!list || !column_names_by_id(table, names)) return nullptr;
    for (const auto& entry : table.indexes) {
      PyRef index(make_index(names, entry.second));
      if (!index || PyList_Append(list.get(), index.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* table_repr(PyObject* self) {
  return PyUnicode_FromFormat("<Table %R>", reinterpret_cast<PyTable*>(self)->name);
}

void table_dealloc(PyObject* self) {
  auto* t = reinterpret_cast<PyTable*>(self);
  delete t->database;
  Py_CLEAR(t->owner);
  Py_CLEAR(t->name);
  Py_TYPE(self)->tp_free(self);
}

PyMethodDef kTableMethods[] = {
    {"rows", PW_KW_METHOD(table_rows), METH_VARARGS | METH_KEYWORDS,
     "rows($self, /, *, typed=True, columns=None, deleted='exclude', timestamps=None)\n--\n\n"
     "The rows as dicts, read lazily in the table's order (memory bounded by a page and the long-value index).\n\n"
     "typed: True gives integers signed or unsigned as the engine types them (Long long and Currency signed), "
     "DateTime as an aware datetime in UTC (the OLE reading when it lies between 1900 and 2200, else the FILETIME "
     "reading when it lies between 1970 and 2200, else the raw integer), GUIDs as uuid.UUID, text without trailing "
     "NULs, multi-values as lists; False gives read_table's values.\n"
     "columns: a name or names to decode, given in that order (the others are left out).\n"
     "deleted: 'exclude' (the engine's view), 'only' or 'include' entries flagged deleted but not yet cleaned "
     "away.\n"
     "timestamps: {column: 'ole' | 'filetime' | 'unix' | 'raw'} forces a reading for 8-byte columns (another "
     "column is a ValueError).\n"
     "The iterator's damage property says what the rows read so far passed over."},
    {"recover", PW_KW_METHOD(table_recover), METH_VARARGS | METH_KEYWORDS,
     "recover($self, /, *, typed=True, sources=('deleted', 'stale', 'slack', 'free'))\n--\n\n"
     "Deleted and superseded records of the table, read page by page, as an iterator of dicts (keys as "
     "EseDatabase.recover_records gives them): entries flagged deleted, stale tag slots past a page's count, "
     "records in the free space of the table's leaf pages, and leaf pages no tree reaches that still name the "
     "table. Values are decoded as rows(typed=typed) decodes live ones; a long value that no longer exists or "
     "may not be given again (past 32 times the file's size of repeats) is None."},
    {"json_lines", PW_KW_METHOD(table_json_lines), METH_VARARGS | METH_KEYWORDS,
     "json_lines($self, /, *, typed=False, deleted='exclude', timestamps=None)\n--\n\nThe rows as JSON Lines "
     "text, one str per row (without the line feed), read lazily and encoded exactly as export_rows writes them "
     "(members named by the columns' distinct keys; with deleted entries included, every row carries the "
     "boolean deleted marker). deleted and timestamps as in rows()."},
    {"arrow", PW_KW_METHOD(table_arrow), METH_VARARGS | METH_KEYWORDS,
     "arrow($self, /, *, typed=True, columns=None, deleted='exclude', timestamps=None, batch_rows=65536, "
     "batch_bytes=67108864)\n--\n\n"
     "The rows as an Arrow stream source: an object with __arrow_c_stream__ that pyarrow.table(), "
     "polars.DataFrame() and DuckDB read directly. Each stream reads the table anew, in batches of at most "
     "batch_rows rows built without the GIL; a batch ends before the row that would take its buffers past "
     "batch_bytes (it holds at least one row). Arguments as for rows(); the fields follow the order of columns "
     "(else column id order), named by the rows' keys with bytes that are not UTF-8, and NUL, written %XX (then "
     "made distinct again); a field named otherwise than its column keeps the raw name in its metadata "
     "(pagewright.raw_name, hexadecimal). Where deleted rows are included, a last boolean field (the rows' "
     "deleted marker key, metadata pagewright.marker=deleted) says which. Arrow types follow the column types "
     "(DateTime as timestamp[us, UTC], GUIDs as text, multi-values as lists). Values that have no form of their "
     "column's type are null and counted in the source's unreadable_values, long values that are missing in its "
     "missing_long_values."},
    {"__arrow_c_stream__", PW_KW_METHOD(table_arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, /, requested_schema=None)\n--\n\n"
     "A PyCapsule 'arrow_array_stream' of the rows with arrow()'s defaults (the Arrow PyCapsule interface)."},
    {"to_arrow", PW_KW_METHOD(table_to_arrow), METH_VARARGS | METH_KEYWORDS,
     "to_arrow($self, /, **options)\n--\n\nThe table as a pyarrow.Table: pyarrow.table(self.arrow(**options)), "
     "with arrow()'s keywords; needs pyarrow."},
    {"to_pandas", PW_KW_METHOD(table_to_pandas), METH_VARARGS | METH_KEYWORDS,
     "to_pandas($self, /, **options)\n--\n\nThe table as a pandas.DataFrame of Arrow-backed dtypes "
     "(pandas.ArrowDtype: 64-bit integers exact also beside nulls, instants timezone-aware in UTC), from "
     "to_arrow(**options); needs pyarrow and pandas."},
    {"log_changes", PW_KW_METHOD(table_log_changes), METH_VARARGS | METH_KEYWORDS,
     "log_changes($self, /, logs=None, *, typed=True)\n--\n\nThe changes the transaction logs carry for the "
     "table's records (logs: a LogSet, a directory or files; by default those the database was opened with), "
     "read lazily in log order (each once its transaction is decided), as dicts: 'operation' (insert, "
     "flag_insert, flag_insert_and_replace_data, replace, replace_diff, delete, flag_delete), 'position', "
     "'segment_time', 'session', 'transaction' ('committed', 'rolled back', 'open' at the end of the logs), "
     "'page', 'line', 'dbtime', 'dbtime_before', 'page_dbtime' (of the page on disk), 'flushed' (the page "
     "already holds the change), 'key', 'values' (the record decoded as rows(typed) decodes live ones; None for "
     "deletes and for a difference whose before image was not found), 'diff' (that difference, as logged), "
     "'before_image' ('page' or 'log': where a decoded difference's before image came from), "
     "'missing_long_values' and 'unreadable_values' (columns whose value has no readable form: null)."},
    {"count", table_count, METH_NOARGS,
     "count($self)\n--\n\nThe number of rows rows() yields by default, from the leaf entries and their flags, "
     "without decoding a value."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kTableGetSet[] = {
    {"name", table_get_name, nullptr, "The table's name.", nullptr},
    {"columns", table_get_columns, nullptr, "The columns (pagewright.Column) in column id order.", nullptr},
    {"indexes", table_get_indexes, nullptr, "The indexes (pagewright.Index) in catalog order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods kTableSequence = {table_length, nullptr, nullptr, nullptr, nullptr,
                                    nullptr,      nullptr, nullptr, nullptr, nullptr};

PyTypeObject make_table_type() {
  PyTypeObject t =
      static_type("pagewright.Table", sizeof(PyTable),
                  "A table of an open database (EseDatabase.table(name)); iterating gives rows() with its defaults.");
  t.tp_dealloc = table_dealloc;
  t.tp_repr = table_repr;
  t.tp_iter = table_iter;
  t.tp_as_sequence = &kTableSequence;
  t.tp_methods = kTableMethods;
  t.tp_getset = kTableGetSet;
  return t;
}
PyTypeObject g_table_type = make_table_type();

PyObject* new_table(PyObject* owner, const SharedDatabase& db, const TableInfo& info) {
  PyRef name(name_to_str(info.name));
  if (!name) return nullptr;
  auto* t = PyObject_New(PyTable, &g_table_type);
  if (!t) return nullptr;
  t->owner = Py_NewRef(owner);
  t->database = new SharedDatabase(db);
  t->table = &info;
  t->name = name.release();
  return reinterpret_cast<PyObject*>(t);
}

}  // namespace

namespace {

// The table's column keys, for a "Column not found" message: the first few, then how many more there are.
std::string listed_keys(const TableInfo& table) {
  constexpr std::size_t kListed = 20;
  std::string out;
  for (std::size_t k = 0; k < table.column_keys.size() && k < kListed; ++k)
    out += (k ? ", " : "") + table.column_keys[k];
  if (table.column_keys.size() > kListed)
    out += ", ... (" + std::to_string(table.column_keys.size() - kListed) + " more)";
  return out;
}

bool column_not_found(const TableInfo& table, PyObject* name) {
  PyRef columns(name_to_str(table.column_keys.empty() ? "none" : listed_keys(table)));
  PyRef table_name(name_to_str(table.name));
  if (!columns || !table_name) return false;
  PyErr_Format(PyExc_ValueError, "Column not found: %U (the columns of table %R: %U)", name, table_name.get(),
               columns.get());
  return false;
}

// The row position of each column key (keys are distinct).
std::unordered_map<std::string, std::size_t> key_positions(const TableInfo& table) {
  std::unordered_map<std::string, std::size_t> positions;
  positions.reserve(table.column_keys.size());
  for (std::size_t k = 0; k < table.column_keys.size(); ++k) positions.emplace(table.column_keys[k], k);
  return positions;
}

// Columns whose values a timestamp reading can apply to: the 8-byte types, and binary (its 8-byte values).
bool holds_eight_byte_values(const ColumnInfo& column) {
  switch (column.column_type) {
    case column_type::kCurrency:
    case column_type::kIEEEDouble:
    case column_type::kDateTime:
    case column_type::kLongLong:
    case column_type::kUnsignedLongLong:
    case column_type::kBinary:
    case column_type::kLongBinary:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool wanted_columns(const TableInfo& table, PyObject* names, std::vector<bool>& wanted, const char* func,
                    std::vector<std::size_t>* order) {
  if (names == nullptr || names == Py_None) return true;
  wanted.assign(table.row_order.size(), false);
  if (order) order->clear();
  // One str is one column's name, not the characters of one.
  PyRef one(PyUnicode_Check(names) ? PyTuple_Pack(1, names) : nullptr);
  if (PyUnicode_Check(names) && !one) return false;
  PyRef iter(PyObject_GetIter(one ? one.get() : names));
  if (!iter) return false;
  const auto positions = key_positions(table);
  while (PyRef name{PyIter_Next(iter.get())}) {
    std::string raw;
    if (!arg_as_name(name.get(), func, "columns", raw)) return false;
    const auto found = positions.find(raw);
    if (found == positions.end()) return column_not_found(table, name.get());
    if (wanted[found->second]) continue;  // asked twice: given once, at its first place
    wanted[found->second] = true;
    if (order) order->push_back(found->second);
  }
  return !PyErr_Occurred();
}

bool timestamp_readings(const TableInfo& table, PyObject* mapping, std::vector<TimestampReading>& readings,
                        const char* func) {
  if (mapping == nullptr || mapping == Py_None) return true;
  if (!PyDict_Check(mapping)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'timestamps' must be a dict of column name to reading", func);
    return false;
  }
  readings.assign(table.row_order.size(), TimestampReading::Auto);
  const auto positions = key_positions(table);
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(mapping, &pos, &key, &value)) {
    std::string raw;
    std::string word;
    if (!arg_as_name(key, func, "timestamps", raw) || !arg_as_utf8(value, func, "timestamps", word)) return false;
    const auto reading = parse_timestamp_reading(word);
    if (!reading) {
      PyErr_Format(PyExc_ValueError, "Invalid timestamp reading: %U (expected: ole, filetime, unix, raw)", value);
      return false;
    }
    const auto found = positions.find(raw);
    if (found == positions.end()) return column_not_found(table, key);
    const ColumnInfo& column = table.row_column(found->second);
    if (!holds_eight_byte_values(column)) {
      const auto type_name = column_type_name(column.column_type);
      PyErr_Format(PyExc_ValueError,
                   "%s(): timestamps: column %R is of type %s, not of 8 bytes: no reading applies to it", func, key,
                   std::string(type_name).c_str());
      return false;
    }
    readings[found->second] = *reading;
  }
  return true;
}

bool deleted_mode(PyObject* word, DeletedRows& out, const char* func) {
  if (word == nullptr) return true;
  std::string text;
  if (!arg_as_utf8(word, func, "deleted", text)) return false;
  if (text == "exclude") {
    out = DeletedRows::Exclude;
  } else if (text == "only") {
    out = DeletedRows::Only;
  } else if (text == "include") {
    out = DeletedRows::Include;
  } else {
    PyErr_Format(PyExc_ValueError, "Invalid deleted mode: %U (expected: exclude, only, include)", word);
    return false;
  }
  return true;
}

PyTypeObject* table_type() { return &g_table_type; }

const Database* table_db(PyTable* table) { return open_db(table->owner); }

int ready_table_types() {
  if (PyType_Ready(&g_table_type) < 0 || PyType_Ready(&g_rows_type) < 0 || ready_arrow_types() < 0) return -1;
  g_column_type = PyStructSequence_NewType(&kColumnDesc);
  g_index_type = PyStructSequence_NewType(&kIndexDesc);
  return g_column_type && g_index_type ? 0 : -1;
}

PyObject* column_type_object() { return reinterpret_cast<PyObject*>(g_column_type); }
PyObject* index_type_object() { return reinterpret_cast<PyObject*>(g_index_type); }

PyObject* ese_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"name", nullptr};
    PyObject* name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:table", const_cast<char**>(kwlist), &name_obj)) return nullptr;
    std::string name;
    if (!arg_as_name(name_obj, "table", "name", name)) return nullptr;
    SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const TableInfo* info = db->tables().find(name);
    if (!info) return raise_ese_error(EseError::table_not_found(name));
    return new_table(self, db, *info);
  });
}

PyObject* ese_tables(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& entry : db->tables()) {
      PyRef table(new_table(self, db, entry.second));
      if (!table || PyList_Append(list.get(), table.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

}  // namespace pw::py
