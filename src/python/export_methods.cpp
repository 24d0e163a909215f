// export_table, export_all: argument conversion around the export of the core, which runs without the GIL
// and stops at Ctrl-C.
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../export/file_name.hpp"
#include "../export/output_file.hpp"
#include "../export/table_export.hpp"
#include "../io/header_file.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"
#include "table_object.hpp"

namespace pw::py {
namespace {

// A path argument: must be a str; encoded with the file system encoding (surrogateescape), as os.open does.
bool arg_as_fs_path(PyObject* obj, const char* func, const char* arg, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", func, arg, Py_TYPE(obj)->tp_name);
    return false;
  }
  PyRef encoded(PyUnicode_EncodeFSDefault(obj));
  if (!encoded) return false;
  out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  return true;
}

// Runs one table's export with the GIL released. The stop check takes the GIL back for a moment to call
// `progress` (rows so far) and run the signal handlers; an exception from either stops the export with it set.
// The database stays alive meanwhile: the caller holds a reference to `self` for the whole call.
json::ExportResult export_without_gil(const Database& db, const std::string& name, const std::string& path,
                                      json::ExportOptions options = {}, PyObject* progress = nullptr) {
  struct ReleasedGil {
    PyThreadState* state = PyEval_SaveThread();
    ~ReleasedGil() { PyEval_RestoreThread(state); }
  } released;
  const std::function<bool(std::uint64_t)> interrupted = [&released, progress](std::uint64_t rows) {
    PyEval_RestoreThread(released.state);
    bool raised = false;
    if (progress) {
      PyObject* result = PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(rows));
      raised = result == nullptr;
      Py_XDECREF(result);
    }
    raised = raised || PyErr_CheckSignals() != 0;
    released.state = PyEval_SaveThread();
    return raised;
  };
  return json::export_table_file(db, name, path, interrupted, options);
}

// Sets the Python error of a failed export (for Stage::Stopped it is set already); returns nullptr. A failure to
// create or write the output file names it (after the method's text; errno with its subclass).
PyObject* raise_export_failure(const json::ExportFailure& failure, const std::string& path) {
  if (failure.stage == json::ExportFailure::Stage::Stopped) return nullptr;
  if (failure.table_error) return raise_ese_error(*failure.table_error);
  if (failure.os_errno != 0) return raise_path_error(failure.os_errno, failure.message, path);
  return raise_os_error(failure.message);
}

// The reason export_all gives for one table: the failure's text, and the file when it concerns the file.
std::string failure_reason(const json::ExportFailure& failure, const std::string& path) {
  return failure.os_errno != 0 ? failure.message + ": " + path : failure.message;
}

// What a file system that ignores case and Unicode normalisation compares, NFD(casefold(NFD(name))), by the
// interpreter's Unicode database (the one the command line's batch folders use too). A name the interpreter
// cannot fold stands for itself.
std::function<std::string(const std::string&)> unicode_fold(PyObject* normalize) {
  return [normalize](const std::string& name) -> std::string {
    PyRef text(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "surrogateescape"));
    PyRef nfd(text ? PyObject_CallFunction(normalize, "sO", "NFD", text.get()) : nullptr);
    PyRef folded(nfd ? PyObject_CallMethod(nfd.get(), "casefold", nullptr) : nullptr);
    PyRef again(folded ? PyObject_CallFunction(normalize, "sO", "NFD", folded.get()) : nullptr);
    PyRef bytes(again ? PyUnicode_AsEncodedString(again.get(), "utf-8", "surrogateescape") : nullptr);
    if (!bytes) {
      PyErr_Clear();
      return name;
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  };
}

// unicodedata.normalize, for unicode_fold.
PyRef unicode_normalize() {
  PyRef module(PyImport_ImportModule("unicodedata"));
  return PyRef(module ? PyObject_GetAttrString(module.get(), "normalize") : nullptr);
}

// The distinct file names of `names` with `suffix` in one directory (json::distinct_file_names).
bool file_names_for(const std::vector<std::string>& names, std::string_view suffix,
                    const std::vector<std::string>& taken, std::vector<std::string>& out) {
  PyRef normalize(unicode_normalize());
  if (!normalize) return false;
  out = json::distinct_file_names(names, suffix, unicode_fold(normalize.get()), taken);
  return true;
}

// Fills export_rows' report: the rows written (live and deleted), the deleted entries left out, the walk's
// damage counts, {column: count} of missing long values and of values without a form of their type, and the
// incomplete file left behind (or None).
bool fill_report(PyObject* report, const TableInfo& table, const json::ExportResult& result) {
  const json::ExportCounts& c = result.counts;
  const std::pair<const char*, std::uint64_t> numbers[] = {
      {"rows", result.rows},
      {"live", c.live},
      {"deleted", c.deleted},
      {"deleted_left_out", c.deleted_passed_over},
      {"bad_entries", c.walk.bad_entries},
      {"overlapping_entries", c.walk.overlapping_entries},
      {"foreign_pages", c.walk.foreign_pages},
      {"loops", c.walk.loops},
      {"unreadable_pages", c.walk.unreadable_pages},
  };
  for (const auto& [key, value] : numbers) {
    PyRef number(PyLong_FromUnsignedLongLong(value));
    if (!number || PyDict_SetItemString(report, key, number.get()) < 0) return false;
  }
  const std::pair<const char*, const std::vector<std::uint64_t>*> by_column[] = {
      {"missing_long_values", &c.missing_long_values}, {"unreadable_values", &c.unreadable_values}};
  for (const auto& [key, counts] : by_column) {
    PyRef dict(PyDict_New());
    if (!dict) return false;
    for (std::size_t k = 0; k < counts->size() && k < table.column_keys.size(); ++k) {
      if ((*counts)[k] == 0) continue;
      PyRef column(name_to_str(table.column_keys[k]));
      PyRef number(PyLong_FromUnsignedLongLong((*counts)[k]));
      if (!column || !number || PyDict_SetItem(dict.get(), column.get(), number.get()) < 0) return false;
    }
    if (PyDict_SetItemString(report, key, dict.get()) < 0) return false;
  }
  PyRef partial(result.partial_path.empty() ? Py_NewRef(Py_None)
                                            : PyUnicode_DecodeFSDefaultAndSize(
                                                  result.partial_path.data(),
                                                  static_cast<Py_ssize_t>(result.partial_path.size())));
  return partial && PyDict_SetItemString(report, "partial", partial.get()) == 0;
}

// The OSError of export_all: "Failed to export 2 of 5 tables: 'a' (reason); 'b' (reason)".
PyObject* raise_failed_tables(const std::vector<std::pair<const std::string*, std::string>>& failed,
                              std::size_t total) {
  PyRef text(
      PyUnicode_FromFormat("Failed to export %zu of %zu table%s: ", failed.size(), total, total == 1 ? "" : "s"));
  for (std::size_t i = 0; text && i < failed.size(); ++i) {
    PyRef name(name_to_str(*failed[i].first));
    if (!name) return nullptr;
    PyRef part(PyUnicode_FromFormat("%s%R (%s)", i == 0 ? "" : "; ", name.get(), failed[i].second.c_str()));
    if (!part) return nullptr;
    text = PyRef(PyUnicode_Concat(text.get(), part.get()));
  }
  if (!text) return nullptr;
  PyErr_SetObject(PyExc_OSError, text.get());
  return nullptr;
}

}  // namespace

PyObject* ese_export_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_name", "output_path", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* path_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:export_table", const_cast<char**>(kwlist), &name_obj,
                                     &path_obj)) {
      return nullptr;
    }
    std::string name;
    std::string path;
    if (!arg_as_name(name_obj, "export_table", "table_name", name)) return nullptr;
    if (!arg_as_fs_path(path_obj, "export_table", "output_path", path)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const json::ExportResult result = export_without_gil(*db, name, path);
    if (result.failure) return raise_export_failure(*result.failure, path);
    Py_RETURN_NONE;
  });
}

namespace {

// export_rows(format="parquet"): the Parquet writer of pagewright_parquet, a Python module installed beside
// this one, with the caller's arguments.
PyObject* export_parquet(PyObject* self, PyObject* name, PyObject* path, PyObject* kwargs) {
  PyRef module(PyImport_ImportModule("pagewright_parquet"));
  if (!module) return nullptr;
  PyRef write(PyObject_GetAttrString(module.get(), "export_rows"));
  PyRef args(write ? PyTuple_Pack(3, self, name, path) : nullptr);
  PyRef options(args ? (kwargs ? PyDict_Copy(kwargs) : PyDict_New()) : nullptr);
  if (!options) return nullptr;
  for (const char* positional : {"table_name", "output_path", "format"}) {
    if (PyDict_DelItemString(options.get(), positional) < 0) PyErr_Clear();
  }
  return PyObject_Call(write.get(), args.get(), options.get());
}

}  // namespace

PyObject* ese_export_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_name", "output_path", "typed",           "progress", "format",
                                   "deleted",    "timestamps",  "escape_formulas", "report",   nullptr};
    PyObject* name_obj = nullptr;
    PyObject* path_obj = nullptr;
    int typed = 0;
    PyObject* progress = nullptr;
    PyObject* format_obj = nullptr;
    PyObject* deleted_obj = nullptr;
    PyObject* timestamps = nullptr;
    int escape_formulas = 1;
    PyObject* report = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pOOOOpO:export_rows", const_cast<char**>(kwlist),
                                     &name_obj, &path_obj, &typed, &progress, &format_obj, &deleted_obj,
                                     &timestamps, &escape_formulas, &report)) {
      return nullptr;
    }
    json::ExportOptions options;
    options.keyed = options.replace = true;
    options.deleted = DeletedRows::Exclude;
    if (format_obj) {
      std::string format;
      if (!arg_as_utf8(format_obj, "export_rows", "format", format)) return nullptr;
      if (format == "csv") {
        options.format = json::ExportFormat::Csv;
      } else if (format == "parquet") {
        std::string unused;
        if (!arg_as_name(name_obj, "export_rows", "table_name", unused) ||
            !arg_as_fs_path(path_obj, "export_rows", "output_path", unused))
          return nullptr;
        return export_parquet(self, name_obj, path_obj, kwargs);
      } else if (format != "jsonl") {
        PyErr_Format(PyExc_ValueError, "Invalid export format: %U (expected: jsonl, csv, parquet)", format_obj);
        return nullptr;
      }
    }
    if (progress == Py_None) progress = nullptr;
    if (progress && !PyCallable_Check(progress)) {
      PyErr_SetString(PyExc_TypeError, "export_rows() argument 'progress' must be callable");
      return nullptr;
    }
    if (report == Py_None) report = nullptr;
    if (report && !PyDict_Check(report)) {
      PyErr_SetString(PyExc_TypeError, "export_rows() argument 'report' must be a dict or None");
      return nullptr;
    }
    std::string name;
    std::string path;
    if (!arg_as_name(name_obj, "export_rows", "table_name", name)) return nullptr;
    if (!arg_as_fs_path(path_obj, "export_rows", "output_path", path)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const TableInfo* table = db->tables().find(name);
    if (!table) return raise_ese_error(EseError::table_not_found(name));
    if (!deleted_mode(deleted_obj, options.deleted, "export_rows") ||
        !timestamp_readings(*table, timestamps, options.readings, "export_rows"))
      return nullptr;
    options.typed = typed != 0;
    options.escape_formulas = escape_formulas != 0;
    const json::ExportResult result = export_without_gil(*db, name, path, options, progress);
    if (report && !(result.failure && result.failure->table_error)) {
      // Filled also when the export fails, so the caller learns what was written and passed over; an error
      // already set (the stop) is kept across.
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      const bool filled = fill_report(report, *table, result);
      if (!filled) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return nullptr;
      }
      PyErr_Restore(type, value, traceback);
    }
    if (result.failure) return raise_export_failure(*result.failure, path);
    return PyLong_FromUnsignedLongLong(result.rows);
  });
}

PyObject* ese_export_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"output_dir", nullptr};
    PyObject* dir_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:export_all", const_cast<char**>(kwlist), &dir_obj)) {
      return nullptr;
    }
    std::string dir;
    if (!arg_as_fs_path(dir_obj, "export_all", "output_dir", dir)) return nullptr;
    if (!dir.empty()) {
      if (const int err = io::create_directories(dir); err != 0) {
        return raise_path_error(err, "Failed to create output directory: " + os_error_text(err), dir);
      }
    }
    const SharedDatabase open = shared_db(self);
    if (!open) return nullptr;
    const Database& db = *open;
    // By raw name bytes, so a name that is not valid UTF-8 is found like any other. A table that fails is
    // noted and the others are still exported.
    std::vector<std::string> names;
    for (const auto& entry : db.tables()) names.push_back(entry.first);
    std::vector<std::string> files;
    if (!file_names_for(names, ".jsonl", {}, files)) return nullptr;
    std::vector<std::pair<const std::string*, std::string>> failed;
    for (std::size_t k = 0; k < names.size(); ++k) {
      if (PyErr_CheckSignals() != 0) return nullptr;
      const std::string path = json::join_path(dir, files[k]);
      const json::ExportResult result = export_without_gil(db, names[k], path);
      if (!result.failure) continue;
      if (result.failure->stage == json::ExportFailure::Stage::Stopped) return nullptr;
      failed.emplace_back(&names[k], failure_reason(*result.failure, path));
    }
    if (!failed.empty()) return raise_failed_tables(failed, db.tables().size());
    Py_RETURN_NONE;
  });
}

namespace {

PyObject* module_read_header(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", nullptr};
    PyObject* path_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:read_header", const_cast<char**>(kwlist), &path_obj)) {
      return nullptr;
    }
    PyRef fs(PyOS_FSPath(path_obj));
    if (!fs) return nullptr;
    PyRef text(PyBytes_Check(fs.get()) ? PyUnicode_DecodeFSDefault(PyBytes_AS_STRING(fs.get())) : fs.release());
    std::string path;
    if (!text || !arg_as_fs_path(text.get(), "read_header", "path", path)) return nullptr;
    auto read = without_gil([&] { return read_header_file(path); });
    if (!read) return raise_os_error("Failed to read the header: " + read.error().to_string());
    PyRef dict(header_dict(read->header));
    if (!dict) return nullptr;
    PyRef source(PyUnicode_FromString(read->shadow ? "shadow" : "primary"));
    PyRef size(PyLong_FromUnsignedLongLong(read->file_size));
    if (!source || !size || PyDict_SetItemString(dict.get(), "header_source", source.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "file_size", size.get()) < 0)
      return nullptr;
    return dict.release();
  });
}

PyObject* module_export_file_name(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_name", "suffix", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* suffix_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:export_file_name", const_cast<char**>(kwlist), &name_obj,
                                     &suffix_obj)) {
      return nullptr;
    }
    std::string name;
    std::string suffix = ".jsonl";
    if (!arg_as_name(name_obj, "export_file_name", "table_name", name)) return nullptr;
    if (suffix_obj && !arg_as_name(suffix_obj, "export_file_name", "suffix", suffix)) return nullptr;
    return name_to_str(json::export_file_name(name, suffix));
  });
}

// A list of str from an iterable of str (arg_as_name each).
bool names_of(PyObject* iterable, const char* func, const char* arg, std::vector<std::string>& out) {
  if (PyUnicode_Check(iterable)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be an iterable of str, not str", func, arg);
    return false;
  }
  PyRef iter(PyObject_GetIter(iterable));
  if (!iter) return false;
  while (PyRef item{PyIter_Next(iter.get())}) {
    if (!arg_as_name(item.get(), func, arg, out.emplace_back())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* module_export_file_names(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_names", "suffix", "taken", nullptr};
    PyObject* names_obj = nullptr;
    PyObject* suffix_obj = nullptr;
    PyObject* taken_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:export_file_names", const_cast<char**>(kwlist),
                                     &names_obj, &suffix_obj, &taken_obj)) {
      return nullptr;
    }
    std::vector<std::string> names;
    std::vector<std::string> taken;
    std::string suffix = ".jsonl";
    if (!names_of(names_obj, "export_file_names", "table_names", names) ||
        (suffix_obj && !arg_as_name(suffix_obj, "export_file_names", "suffix", suffix)) ||
        (taken_obj && !names_of(taken_obj, "export_file_names", "taken", taken)))
      return nullptr;
    std::vector<std::string> files;
    if (!file_names_for(names, suffix, taken, files)) return nullptr;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(files.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < files.size(); ++k) {
      PyObject* file = name_to_str(files[k]);
      if (!file) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), file);
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef* module_functions() {
  static PyMethodDef functions[] = {
      {"read_header", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_read_header)),
       METH_VARARGS | METH_KEYWORDS,
       "read_header(path)\n--\n\nThe file header of a database file, read without opening the database (so also "
       "when its catalog is damaged): the dict of EseDatabase.header plus 'header_source' (\"primary\" or "
       "\"shadow\") and 'file_size'.\n\nRaises:\n    OSError: If the file cannot be read or is shorter than a "
       "header"},
      {"export_file_name", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_export_file_name)),
       METH_VARARGS | METH_KEYWORDS,
       "export_file_name(table_name, suffix='.jsonl')\n--\n\nThe name of the file a table is exported to.\n\nThe "
       "table name keeps its text, with '/', '\\', '%', control characters and bytes that are not UTF-8 (lone "
       "surrogates U+DC80..U+DCFF) written as %XX, the names '.' and '..' as %2E and %2E%2E, then the suffix. A "
       "name that, with '.partial' after it, would give more than 255 bytes keeps a prefix, then '%~' and 32 "
       "hexadecimal digits of the SHA-256 of the raw name.\n\nArgs:\n    table_name: Name of the table\n    "
       "suffix: '.jsonl', '.csv', '.parquet', or '' for a folder\n\nReturns:\n    str: One path component, "
       "distinct for distinct names"},
      {"export_file_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_export_file_names)),
       METH_VARARGS | METH_KEYWORDS,
       "export_file_names(table_names, suffix='.jsonl', taken=())\n--\n\nThe files export_all (and the command "
       "line) writes several tables to in one directory: export_file_name of each, except that a name equal to "
       "an earlier one's (or one in taken) once case and Unicode normalisation are ignored, as Windows and macOS "
       "volumes compare names, gets '~2', '~3', ... before the suffix. The same names in the same order give the "
       "same files.\n\nReturns:\n    list[str]: one file name per table name, in order"},
      {"verify_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(module_verify_file)),
       METH_VARARGS | METH_KEYWORDS,
       "verify_file(path, *, page_size=None, max_failures=1000)\n--\n\nCheck the checksum of every page of a "
       "database file without opening the database (so also when its catalog is damaged): the dict of "
       "EseDatabase.verify_pages(). page_size: the page size when the header cannot be trusted (default: the "
       "header's).\n\nRaises:\n    OSError: If the file cannot be read\n    ValueError: If the page size has no "
       "known checksum layout"},
      {nullptr, nullptr, 0, nullptr},
  };
  return functions;
}

}  // namespace pw::py
