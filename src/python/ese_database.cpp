#include "ese_database.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "../io/fault_guard.hpp"

#include "damage_dicts.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "log_objects.hpp"
#include "py_ref.hpp"

namespace pw::py {
namespace {

// A file object that is not a plain file on disk (io.BytesIO, gzip.open(), a zip member) is read into memory
// through read(), up to this many bytes.
constexpr std::size_t kMaxStreamBytes = std::size_t{4} << 30;

// A caller's buffer read in place: the export is held (so a bytearray cannot be resized, an mmap not closed)
// until the database goes, which happens with the GIL held. A buffer that maps a file (an mmap.mmap) is
// guarded as a mapped file is: once the file shrinks, reads fail instead of ending the process.
class PyBufferSource final : public ByteSource {
 public:
  PyBufferSource(Py_buffer view, std::optional<FaultGuard> guard) noexcept : view_(view), guard_(std::move(guard)) {}
  ~PyBufferSource() override {
    guard_.reset();  // before the release: the exporter may unmap the range at once
    PyBuffer_Release(&view_);
  }
  PyBufferSource(const PyBufferSource&) = delete;
  PyBufferSource& operator=(const PyBufferSource&) = delete;
  Bytes bytes() const noexcept override {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
  }
  const std::atomic<bool>& read_failed() const noexcept override {
    return guard_ ? guard_->faulted() : never_failed_;
  }

 private:
  Py_buffer view_;
  std::optional<FaultGuard> guard_;
  std::atomic<bool> never_failed_{false};
};

Result<std::unique_ptr<Database>> open_buffer(PyObject* source, OpenOptions options, bool& raised) {
  Py_buffer view;
  if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) {
    raised = true;
    return EseError::invalid_header();
  }
  const auto* begin = static_cast<const std::uint8_t*>(view.buf);
  const auto length = static_cast<std::size_t>(view.len);
  if (length > 0 && maps_a_file(begin, length)) {
    auto guard = FaultGuard::claim(begin, length);
    if (!guard) {  // every guard is taken: a copy cannot fault
      auto copy = std::make_unique<MemoryImage>(std::vector<std::uint8_t>(begin, begin + length));
      PyBuffer_Release(&view);
      return without_gil([&] { return Database::open_bytes(std::move(copy), options); });
    }
    return Database::open_bytes(std::make_unique<PyBufferSource>(view, std::move(guard)), options);
  }
  return Database::open_bytes(std::make_unique<PyBufferSource>(view, std::nullopt), options);
}

// The descriptor a file object's fileno() gives; -1 when it has none that can be used (fileno() raises
// OSError or ValueError: io.BytesIO, a zip member); -2 with ValueError set for a number that is no descriptor.
int descriptor_of(PyObject* source) {
  if (!PyObject_HasAttrString(source, "fileno")) return -1;
  PyRef number(PyObject_CallMethod(source, "fileno", nullptr));
  if (!number) {
    if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return -2;
    PyErr_Clear();
    return -1;
  }
  int overflow = 0;
  const long long fd = PyLong_Check(number.get()) ? PyLong_AsLongLongAndOverflow(number.get(), &overflow) : -1;
  if (fd == -1 && PyErr_Occurred()) return -2;
  if (overflow || fd < 0 || fd > INT_MAX) {
    PyErr_Format(PyExc_ValueError, "EseDatabase(): fileno() returned %R, which is not a file descriptor",
                 number.get());
    return -2;
  }
  return static_cast<int>(fd);
}

// The bytes of a read() result, appended to `out`; false with TypeError for a text stream.
bool append_read(PyObject* chunk, std::vector<std::uint8_t>& out) {
  Py_buffer view;
  if (PyUnicode_Check(chunk) || PyObject_GetBuffer(chunk, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "EseDatabase(): read() of the file object gave %.200s, not bytes: open it in "
                 "binary mode", Py_TYPE(chunk)->tp_name);
    return false;
  }
  const auto* data = static_cast<const std::uint8_t*>(view.buf);
  out.insert(out.end(), data, data + view.len);
  PyBuffer_Release(&view);
  return true;
}

bool seekable(PyObject* source) {
  PyRef answer(PyObject_HasAttrString(source, "seekable") ? PyObject_CallMethod(source, "seekable", nullptr)
                                                           : nullptr);
  PyErr_Clear();
  return answer && PyObject_IsTrue(answer.get()) == 1;
}

// Calls read(size) until `want` bytes are held or the stream ends; nothing more than `want` is asked for.
bool read_up_to(PyObject* source, std::size_t want, std::vector<std::uint8_t>& out) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  while (out.size() < want) {
    const std::size_t ask = std::min(kChunk, want - out.size());
    PyRef chunk(PyObject_CallMethod(source, "read", "n", static_cast<Py_ssize_t>(ask)));
    if (!chunk) return false;
    if (chunk.get() == Py_None) {
      PyErr_SetString(PyExc_OSError, "EseDatabase(): read() of the file object gave None (a non-blocking stream "
                                     "without data)");
      return false;
    }
    const std::size_t before = out.size();
    if (!append_read(chunk.get(), out)) return false;
    if (out.size() == before) break;  // the end of the stream
    if (PyErr_CheckSignals() < 0) return false;
  }
  return true;
}

// What the file object holds from its start (from where it stands when it cannot seek), through read(), at
// most kMaxStreamBytes; its position is restored. False with an exception set.
bool read_stream(PyObject* source, std::vector<std::uint8_t>& out) {
  const bool can_seek = seekable(source);
  PyRef position(can_seek ? PyObject_CallMethod(source, "tell", nullptr) : nullptr);
  if (can_seek && (!position || !PyRef(PyObject_CallMethod(source, "seek", "i", 0)))) return false;
  if (!read_up_to(source, kMaxStreamBytes + 1, out)) return false;
  if (position && !PyRef(PyObject_CallMethod(source, "seek", "O", position.get()))) return false;
  if (out.size() > kMaxStreamBytes) {
    PyErr_Format(PyExc_ValueError,
                 "EseDatabase(): the file object holds more than %llu bytes; a stream that is not a plain file "
                 "(BytesIO, gzip, a zip member) is read into memory, up to that size: write it to a file and "
                 "open the file",
                 static_cast<unsigned long long>(kMaxStreamBytes));
    out.clear();
    return false;
  }
  return true;
}

// Whether the descriptor is a regular file whose first bytes are those read() gives from the start (so the
// file object reads the file as it is, not a decompressed or enclosed stream); the position is restored.
// -1 with an exception set.
int descriptor_reads_like(PyObject* source, int fd) {
  constexpr std::size_t kProbe = 65536;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !seekable(source)) return 0;
  PyRef position(PyObject_CallMethod(source, "tell", nullptr));
  if (!position || !PyRef(PyObject_CallMethod(source, "seek", "i", 0))) return -1;
  std::vector<std::uint8_t> through_read;
  const bool read = read_up_to(source, kProbe, through_read);
  if (!PyRef(PyObject_CallMethod(source, "seek", "O", position.get())) || !read) return -1;
  std::vector<std::uint8_t> on_disk(through_read.size() + 1);
  const ssize_t n = ::pread(fd, on_disk.data(), on_disk.size(), 0);
  if (n < 0) return 0;
  const auto held = static_cast<std::size_t>(n);
  // When read() reached the end within the probe, the file must end there too.
  if (held < through_read.size() || (through_read.size() < kProbe && held != through_read.size())) return 0;
  return std::equal(through_read.begin(), through_read.end(), on_disk.begin()) ? 1 : 0;
}

// A binary file object: mapped through its descriptor when that reads as the object does (or when it has no
// read() to compare with), else read(). A text file object is read through its binary buffer.
Result<std::unique_ptr<Database>> open_file_object(PyObject* object, OpenOptions options, bool& raised) {
  PyRef buffer(PyObject_HasAttrString(object, "encoding") && PyObject_HasAttrString(object, "buffer")
                   ? PyObject_GetAttrString(object, "buffer")
                   : nullptr);
  PyErr_Clear();
  PyObject* source = buffer ? buffer.get() : object;
  const int fd = descriptor_of(source);
  if (fd >= 0 && !PyObject_HasAttrString(source, "read"))
    return without_gil([&] { return Database::open_descriptor(fd, options); });
  int same = fd >= 0 ? descriptor_reads_like(source, fd) : 0;
  raised = fd == -2 || same < 0;
  if (raised) return EseError::invalid_header();
  if (same) return without_gil([&] { return Database::open_descriptor(fd, options); });
  std::vector<std::uint8_t> image;
  raised = !read_stream(source, image);
  if (raised) return EseError::invalid_header();
  auto memory = std::make_unique<MemoryImage>(std::move(image));
  return without_gil([&] { return Database::open_bytes(std::move(memory), options); });
}

PyObject* not_found(PyObject* path) {
  PyErr_Clear();
  PyErr_Format(PyExc_FileNotFoundError, "Database file not found: %U", path);
  return nullptr;
}

// A path given as str: the file must exist; its name is encoded as os.open encodes it.
Result<std::unique_ptr<Database>> open_path(PyObject* path, OpenOptions options, bool& missing) {
  PyRef fs_path(PyUnicode_EncodeFSDefault(path));
  struct stat st {};
  missing =
      !fs_path ||
      std::strlen(PyBytes_AS_STRING(fs_path.get())) != static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())) ||
      ::stat(PyBytes_AS_STRING(fs_path.get()), &st) != 0;
  if (missing) return EseError::invalid_header();
  const std::string name(PyBytes_AS_STRING(fs_path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));
  return without_gil([&] { return Database::open(name, options); });
}

// The str a path-like object names (os.fspath; bytes decoded as the file system encodes them).
PyObject* fspath_str(PyObject* source) {
  PyRef fs(PyOS_FSPath(source));
  if (!fs) return nullptr;
  if (PyBytes_Check(fs.get()))
    return PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fs.get()), PyBytes_GET_SIZE(fs.get()));
  return fs.release();
}

PyObject* ese_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "repair_ecc", "logs", nullptr};
    PyObject* source = nullptr;
    int repair_ecc = 0;
    PyObject* logs_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pO:EseDatabase", const_cast<char**>(kwlist), &source,
                                     &repair_ecc, &logs_arg))
      return nullptr;
    const OpenOptions options{repair_ecc != 0};
    PyRef logs;
    if (logs_arg && logs_arg != Py_None && !(logs = PyRef(log_set_from_arg(logs_arg, "EseDatabase")))) return nullptr;
    PyRef path;
    Result<std::unique_ptr<Database>> opened = EseError::invalid_header();
    if (PyUnicode_Check(source) || PyObject_HasAttrString(source, "__fspath__")) {
      path = PyRef(PyUnicode_Check(source) ? Py_NewRef(source) : fspath_str(source));
      if (!path) return nullptr;
      bool missing = false;
      opened = open_path(path.get(), options, missing);
      if (missing) return not_found(path.get());
    } else if (PyObject_CheckBuffer(source)) {
      bool raised = false;
      opened = open_buffer(source, options, raised);
      if (raised) return nullptr;
      path = PyRef(PyUnicode_FromString("<buffer>"));
    } else if (PyObject_HasAttrString(source, "fileno") || PyObject_HasAttrString(source, "read")) {
      bool raised = false;
      opened = open_file_object(source, options, raised);
      if (raised) return nullptr;
      PyRef name(PyObject_GetAttrString(source, "name"));
      PyErr_Clear();
      path = PyRef(name && PyUnicode_Check(name.get()) ? name.release() : PyUnicode_FromString("<file>"));
    } else {
      PyErr_Format(PyExc_TypeError,
                   "EseDatabase() argument 'path' must be str, os.PathLike, a buffer or a binary file, not %.200s",
                   Py_TYPE(source)->tp_name);
      return nullptr;
    }
    if (!path) return nullptr;
    if (!opened) return raise_os_error("Failed to open database: " + opened.error().to_string());
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<PyEseDatabase*>(self);
    obj->database = new SharedDatabase(std::move(opened).value());
    obj->path = path.release();
    obj->logs = logs.release();
    return self;
  });
}

void close_database(PyEseDatabase* obj) {
  delete obj->database;
  obj->database = nullptr;
}

void ese_dealloc(PyObject* self) {
  auto* obj = reinterpret_cast<PyEseDatabase*>(self);
  close_database(obj);
  Py_CLEAR(obj->path);
  Py_CLEAR(obj->logs);
  Py_TYPE(self)->tp_free(self);
}

PyObject* ese_repr(PyObject* self) {
  auto* obj = reinterpret_cast<PyEseDatabase*>(self);
  if (!obj->database) return PyUnicode_FromFormat("EseDatabase(path='%U', closed)", obj->path);
  const Database& db = **obj->database;
  return PyUnicode_FromFormat("EseDatabase(path='%U', tables=%zu, page_size=%u)", obj->path, db.tables().size(),
                              static_cast<unsigned>(db.page_size()));
}

PyObject* get_path(PyObject* self, void*) {
  PyObject* path = reinterpret_cast<PyEseDatabase*>(self)->path;
  Py_INCREF(path);
  return path;
}

template <class F>
PyObject* with_open_db(PyObject* self, F&& f) {
  const Database* db = open_db(self);
  return db ? f(*db) : nullptr;
}

PyObject* get_page_size(PyObject* self, void*) {
  return with_open_db(self, [](const Database& db) { return PyLong_FromUnsignedLong(db.page_size()); });
}
PyObject* get_total_pages(PyObject* self, void*) {
  return with_open_db(self, [](const Database& db) { return PyLong_FromUnsignedLong(db.total_pages()); });
}
PyObject* get_header_source(PyObject* self, void*) {
  return with_open_db(
      self, [](const Database& db) { return PyUnicode_FromString(db.used_shadow_header() ? "shadow" : "primary"); });
}
PyObject* get_header(PyObject* self, void*) {
  return with_open_db(self, [](const Database& db) {
    return guarded([&]() -> PyObject* {
      PyRef dict(header_dict(db.header()));
      PyRef repairs(dict ? page_repairs_list(db) : nullptr);
      if (!repairs || PyDict_SetItemString(dict.get(), "page_repairs", repairs.get()) < 0) return nullptr;
      PyRef truncation(truncation_dict(file_extent(db)));
      if (!truncation || PyDict_SetItemString(dict.get(), "truncation", truncation.get()) < 0) return nullptr;
      return dict.release();
    });
  });
}
PyObject* get_catalog_damage(PyObject* self, void*) {
  return with_open_db(self, [](const Database& db) {
    return guarded([&] { return catalog_damage_dict(db.catalog_damage()); });
  });
}
PyObject* get_closed(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<PyEseDatabase*>(self)->database == nullptr);
}

PyObject* ese_close(PyObject* self, PyObject*) {
  close_database(reinterpret_cast<PyEseDatabase*>(self));
  Py_RETURN_NONE;
}

PyObject* ese_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* ese_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
  PyObject *a = nullptr, *b = nullptr, *c = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(kwlist), &a, &b, &c))
    return nullptr;
  close_database(reinterpret_cast<PyEseDatabase*>(self));
  Py_RETURN_FALSE;
}

PyGetSetDef kGetSet[] = {
    {"path", get_path, nullptr, "Get the path to the database file.\n\nReturns:\n    str: Path to the database file",
     nullptr},
    {"page_size", get_page_size, nullptr, "Get the database page size.\n\nReturns:\n    int: Page size in bytes",
     nullptr},
    {"total_pages", get_total_pages, nullptr,
     "Get the total number of pages in the database.\n\nReturns:\n    int: Total number of pages", nullptr},
    {"header_source", get_header_source, nullptr,
     "Which copy of the file header was read.\n\nThe header is block 0 of the file and block 1 is its shadow copy; the "
     "shadow is read when block 0 is damaged (wrong checksum or page size) and the shadow is intact.\n\nReturns:\n "
     "   str: \"primary\" or \"shadow\"",
     nullptr},
    {"header", get_header, nullptr,
     "The file header as a dict: format_version, format_revision, page_size, file_type, state (the number) and "
     "state_name (\"clean shutdown\", \"dirty shutdown\", ...), database_time, creation_time, consistent_time, "
     "attach_time and detach_time (aware datetimes in UTC, or None when the header holds none), "
     "consistent_position, attach_position and detach_position (dicts of generation, sector, block: a position in "
     "the transaction logs), os_version (major, minor, build, service pack of the last writer), checksum and "
     "checksum_ok; page_repairs: None, or with EseDatabase(..., repair_ecc=True) the bits corrected in memory (dicts "
     "of page, offset, bit, block, file_offset); truncation: None when the file holds every page "
     "the database names, else {'file_pages': pages the file holds, 'last_page': the highest page named, "
     "'named_by': what names it (the database's space tree, or the root page or owned extents of a tree)}: the "
     "file was cut short, e.g. at a page boundary.",
     nullptr},
    {"catalog_damage", get_catalog_damage, nullptr,
     "What reading the catalog passed over, lost or renamed, or None when it was read whole.\n\nA dict: the "
     "walk counts (bad_entries, overlapping_entries, foreign_pages, loops, unreadable_pages), 'error' (why a "
     "part of the catalog could not be read: its tables are missing, or None), 'skipped_records' ({record "
     "type: count} of catalog records that could not be read, e.g. of a type no engine writes) and 'notes' "
     "(list of str: tables or columns that share a name and the keys they got, columns of an unknown type, "
     "records that name no table).",
     nullptr},
    {"closed", get_closed, nullptr, "True once close() was called (or the with block was left).", nullptr},
    {"logs", ese_get_logs, nullptr, "The LogSet given with EseDatabase(path, logs=...), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define PW_KW_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef kMethods[] = {
    {"get_tables", ese_get_tables, METH_NOARGS,
     "get_tables($self)\n--\n\nGet a list of all table names in the database.\n\nReturns:\n    list[str]: List of "
     "table names"},
    {"read_table", PW_KW_METHOD(ese_read_table), METH_VARARGS | METH_KEYWORDS,
     "read_table($self, table_name)\n--\n\nRead all records from a table.\n\nArgs:\n    table_name: Name of the "
     "table to read\n\nReturns:\n    list[dict]: List of records as dictionaries\n\nRaises:\n    ValueError: If the "
     "table doesn't exist\n    IOError: If there's an error reading the table"},
    {"scan_table", PW_KW_METHOD(ese_scan_table), METH_VARARGS | METH_KEYWORDS,
     "scan_table($self, table_name)\n--\n\nWalk a table's leaf entries without decoding a value.\n\nReturns:\n    "
     "dict[str, int]: 'rows' (live entries), 'deleted' (entries flagged deleted, not yet cleaned away; "
     "read_table returns both), and what the walk had to pass over: 'bad_entries', 'overlapping_entries', "
     "'foreign_pages' (links into another tree), 'loops', 'unreadable_pages', and 'missing_long_values': {column: "
     "count} of long-value references (also multi-value elements stored apart) that no long value answers, in "
     "every entry (read_table gives them as empty values, rows() as None). Nonzero counts mean damage.\n\n"
     "Raises:\n    ValueError: If the table doesn't exist\n    OSError: If a page cannot be read"},
    {"get_table_schema", PW_KW_METHOD(ese_get_table_schema), METH_VARARGS | METH_KEYWORDS,
     "get_table_schema($self, table_name)\n--\n\nGet the schema (columns) for a table.\n\nArgs:\n    table_name: "
     "Name of the table\n\nReturns:\n    list[dict]: List of column information with 'name', 'type', "
     "'id'\n\nRaises:\n    ValueError: If the table doesn't exist"},
    {"export_table", PW_KW_METHOD(ese_export_table), METH_VARARGS | METH_KEYWORDS,
     "export_table($self, table_name, output_path)\n--\n\nExport a table to JSONL format.\n\nArgs:\n    table_name: "
     "Name of the table to export\n    output_path: Path to the output JSONL file\n\nRaises:\n    ValueError: If the "
     "table doesn't exist\n    IOError: If there's an error writing the file"},
    {"carve_utf16le_strings", PW_KW_METHOD(ese_carve_utf16le_strings), METH_VARARGS | METH_KEYWORDS,
     "carve_utf16le_strings($self, needle=None, min_chars=6, max_hits=1000, *, script='ascii', owners='leaf')"
     "\n--\n\n"},
    {"carve_utf16le_strings_scoped", PW_KW_METHOD(ese_carve_utf16le_strings_scoped), METH_VARARGS | METH_KEYWORDS,
     "carve_utf16le_strings_scoped($self, scope, needle=None, min_chars=6, max_hits=1000, *, script='ascii', "
     "owners='leaf')\n--\n\n"},
    {"export_all", PW_KW_METHOD(ese_export_all), METH_VARARGS | METH_KEYWORDS,
     "export_all($self, output_dir)\n--\n\nExport all tables to JSONL files in a directory.\n\nArgs:\n    "
     "output_dir: Directory to write JSONL files to\n\nRaises:\n    IOError: If there's an error creating the "
     "directory or writing files"},
    {"export_rows", PW_KW_METHOD(ese_export_rows), METH_VARARGS | METH_KEYWORDS,
     "export_rows($self, table_name, output_path, *, typed=False, progress=None, format='jsonl', "
     "deleted='exclude', timestamps=None, escape_formulas=True, report=None)\n--\n\nExport a table to JSON "
     "Lines, CSV or Parquet and return the number of rows written. The file is written under a temporary name "
     "beside output_path and renamed to it once complete; an export that stops (Ctrl-C, a read or write error) "
     "leaves output_path + '.partial' instead.\n\n"
     "typed: write the typed view (signed Currency, ISO 8601 instants in UTC for DateTime, multi-values as "
     "arrays).\nprogress: called with the rows written so far every few thousand rows (an exception it raises "
     "stops the export).\nformat: 'jsonl' (members named by the columns' distinct keys), 'csv' (RFC 4180: a "
     "header row of the keys, CRLF line ends, fields quoted when they hold a comma, quote, CR or LF; a null is "
     "an empty field, an empty text \"\"; binary as hex, multi-values as JSON arrays) or 'parquet' (through "
     "pyarrow from the Arrow stream).\ndeleted: 'exclude', 'only' or 'include' entries flagged deleted, as in "
     "rows(); when any are included every row carries the boolean marker (the key '_deleted', or with more "
     "'_' when a column holds it; in CSV the last column).\ntimestamps: {column: 'ole' | 'filetime' | 'unix' | "
     "'raw'} as in rows().\nescape_formulas: CSV text cells (and header cells) that begin with =, +, -, @, a "
     "tab or CR, which a spreadsheet would run as a formula, get a leading '; False writes them as they are.\n"
     "report: a dict, filled (also when the export fails) with 'rows', 'live', 'deleted' (rows written), "
     "'deleted_left_out', the walk's 'bad_entries', 'overlapping_entries', 'foreign_pages', 'loops', "
     "'unreadable_pages', {column: count} of 'missing_long_values' (references no long value answers: null in "
     "the typed view, empty in the raw one) and of 'unreadable_values' (values with no form of their column's "
     "type, written as they were read), and 'partial' (the incomplete file left, or None)."},
    {"table", PW_KW_METHOD(ese_table), METH_VARARGS | METH_KEYWORDS,
     "table($self, name)\n--\n\nThe table of that name, as a Table object.\n\nRaises:\n    ValueError: If the "
     "table doesn't exist"},
    {"tables", ese_tables, METH_NOARGS, "tables($self)\n--\n\nEvery table, as Table objects, in catalog order."},
    {"close", ese_close, METH_NOARGS,
     "close($self)\n--\n\nRelease the file (or buffer). Later calls raise ValueError; Table objects and row "
     "iterators made before keep the data until they go, but raise ValueError too."},
    {"recover_records", PW_KW_METHOD(ese_recover_records), METH_VARARGS | METH_KEYWORDS,
     "recover_records($self, table_name, *, sources=('deleted', 'stale', 'slack', 'free'))\n--\n\nRecover deleted and "
     "superseded records of a table, each with its place in the file.\n\nArgs:\n    table_name: Name of the table\n    "
     "sources: Where to look: 'deleted' (entries flagged deleted), 'stale' (tag slots past a leaf page's count), "
     "'slack' (free space of the table's leaf pages), 'free' (leaf pages of the table that no tree "
     "reaches)\n\nReturns:\n    list[dict]: One dict per record: 'values' (column name -> value, converted as "
     "read_table converts them), 'source', 'page', 'offset' and 'length' (the record's bytes within the page), "
     "'confidence' (how many optional checks held), 'checks' (their names: null_bitmap_filler, "
     "null_variable_offsets, not_null_columns, printable_text, fixed_size_values, long_values_resolve), "
     "'inferred_end' (the column whose end was inferred from the bytes after it, or None), 'duplicate_of_live' "
     "(the same bytes, or key and values, are live), 'unresolved_long_values' and 'withheld_long_values' (columns "
     "whose long value no longer exists or may not be given again: their value is the reference's bytes) "
     "and 'long_value_refs' (their long-value ids)\n\nRaises:\n    ValueError: "
     "If the table doesn't exist or a source is unknown\n    OSError: If the table's root page cannot be read"},
    {"verify_pages", PW_KW_METHOD(ese_verify_pages), METH_VARARGS | METH_KEYWORDS,
     "verify_pages($self, *, max_failures=1000)\n--\n\nCheck the checksum of every page of the file as it is on "
     "disk (also with repair_ecc=True).\n\nReturns:\n    dict: 'page_size', 'pages', counts 'ok', "
     "'uninitialized' (all zeros: never written), 'mismatched', 'correctable' (one flipped bit per block, located "
     "by the ECC), 'forms' ({'xor': n, 'xor_ecc': n}), 'header_ok' and 'shadow_ok' (the two header copies), "
     "'failures' (the first max_failures failing pages: 'page', 'form', 'status' ('mismatch' or 'correctable'), "
     "'blocks' (each disagreeing block with its 'stored' and 'computed' checksum), 'bits' (the located bits: "
     "'offset' in the page, 'bit', 'block', 'file_offset'), 'checksum_bit_only' (only the stored checksum differs, "
     "in one bit: the data is likely intact), 'checksum_of_page' (the page number the stored checksum is right for, "
     "or None)) and 'failures_omitted'.\n\nRaises:\n    OSError: If the file shrank or could not be read "
     "meanwhile"},
    {"log_records", PW_KW_METHOD(ese_log_records), METH_VARARGS | METH_KEYWORDS,
     "log_records($self, logs=None, *, types=None)\n--\n\nThe records of the transaction logs (a LogSet, a "
     "directory or files; by default those given when the database was opened) as LogSet.records() gives them, "
     "with 'table' and 'tree' ('data', 'index', 'long_value') added to the records of this database's trees."},
    {"log_coverage", PW_KW_METHOD(ese_log_coverage), METH_VARARGS | METH_KEYWORDS,
     "log_coverage($self, logs=None)\n--\n\nWhat the database lacks without its transaction logs (a LogSet, a "
     "directory or files; by default those given when the database was opened): a dict {covered (nothing the "
     "header requires is missing or damaged, and the signatures match), signature_matches, database_named (the "
     "logs attach a database of this signature), required ([min, max] generations the header requires, or None "
     "for a consistent database), present ([lowest, highest] generation of its log stream, or None), missing "
     "(required generations absent or of another stream, at most 1000), missing_count, damaged, page_changes, "
     "newer (page changes its pages do not hold yet: the record's dbtime is above the page's), "
     "newer_unattributed, pages_past_end, tables ({table: {changes, newer, out_of_sequence}})}."},
    {"__enter__", ese_enter, METH_NOARGS, "__enter__($self)\n--\n\nContext manager support: enter"},
    {"__exit__", PW_KW_METHOD(ese_exit), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nContext manager support: exit"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject make_type() {
  PyTypeObject t = static_type(
      "EseDatabase", sizeof(PyEseDatabase),
      "EseDatabase(path, *, repair_ecc=False, logs=None)\n--\n\nPython wrapper for ESE database.\n\nrepair_ecc: "
      "check every page at the open and read a page in which the checksum's ECC locates a single flipped bit (per "
      "block) with that bit corrected, in memory only; header['page_repairs'] lists the corrections.\nlogs: its "
      "transaction logs (a LogSet, a directory or files) for log_coverage(), log_records() and "
      "Table.log_changes().\n\nThis class provides access to Microsoft ESE "
      "databases from Python.\n\nExample:\n    >>> from pagewright import EseDatabase\n    >>> db = "
      "EseDatabase(\"Current.mdb\")\n    >>> tables = db.get_tables()\n    >>> records = "
      "db.read_table(\"MSysObjects\")");
  t.tp_new = ese_new;
  t.tp_dealloc = ese_dealloc;
  t.tp_repr = ese_repr;
  t.tp_getset = kGetSet;
  t.tp_methods = kMethods;
  return t;
}

PyTypeObject g_type = make_type();

}  // namespace

PyTypeObject* ese_database_type() { return &g_type; }

const Database* open_db(PyObject* self) {
  auto* obj = reinterpret_cast<PyEseDatabase*>(self);
  if (obj->database) return obj->database->get();
  PyErr_SetString(PyExc_ValueError, "I/O operation on a closed database");
  return nullptr;
}

SharedDatabase shared_db(PyObject* self) {
  auto* obj = reinterpret_cast<PyEseDatabase*>(self);
  if (obj->database) return *obj->database;
  PyErr_SetString(PyExc_ValueError, "I/O operation on a closed database");
  return nullptr;
}

PyObject* name_to_str(const std::string& name) {
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape");
}

bool require_str(PyObject* obj, const char* func, const char* arg) {
  if (PyUnicode_Check(obj)) return true;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", func, arg, Py_TYPE(obj)->tp_name);
  return false;
}

bool arg_as_name(PyObject* obj, const char* func, const char* arg, std::string& out) {
  if (!require_str(obj, func, arg)) return false;
  PyRef encoded(PyUnicode_AsEncodedString(obj, "utf-8", "surrogateescape"));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

bool arg_as_utf8(PyObject* obj, const char* func, const char* arg, std::string& out) {
  if (!require_str(obj, func, arg)) return false;
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &len);
  if (!utf8) return false;
  out.assign(utf8, static_cast<std::size_t>(len));
  return true;
}

bool arg_as_optional_utf8(PyObject* obj, const char* func, const char* arg, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string value;
  if (!arg_as_utf8(obj, func, arg, value)) return false;
  out = std::move(value);
  return true;
}

bool arg_as_u64(PyObject* obj, const char* func, const char* arg, std::uint64_t& out) {
  if (!PyIndex_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", func, arg, Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef index(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace pw::py
