// export_table, export_all: argument conversion around the export of the core, which runs without the GIL
// and stops at Ctrl-C.
#include <string>
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

// Sets the Python error of a failed export (for Stage::Stopped it is set already); returns nullptr.
PyObject* raise_export_failure(const json::ExportFailure& failure) {
  if (failure.stage == json::ExportFailure::Stage::Stopped) return nullptr;
  if (failure.table_error) return raise_ese_error(*failure.table_error);
  return raise_os_error(failure.message);
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
    if (result.failure) return raise_export_failure(*result.failure);
    Py_RETURN_NONE;
  });
}

PyObject* ese_export_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"table_name", "output_path", "typed", "progress", "format", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* path_obj = nullptr;
    int typed = 0;
    PyObject* progress = nullptr;
    PyObject* format_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$pOO:export_rows", const_cast<char**>(kwlist), &name_obj,
                                     &path_obj, &typed, &progress, &format_obj)) {
      return nullptr;
    }
    json::ExportOptions options;
    if (format_obj) {
      std::string format;
      if (!arg_as_utf8(format_obj, "export_rows", "format", format)) return nullptr;
      if (format == "csv") {
        options.format = json::ExportFormat::Csv;
      } else if (format != "jsonl") {
        PyErr_Format(PyExc_ValueError, "Invalid export format: %U (expected: jsonl, csv)", format_obj);
        return nullptr;
      }
    }
    if (progress == Py_None) progress = nullptr;
    if (progress && !PyCallable_Check(progress)) {
      PyErr_SetString(PyExc_TypeError, "export_rows() argument 'progress' must be callable");
      return nullptr;
    }
    std::string name;
    std::string path;
    if (!arg_as_name(name_obj, "export_rows", "table_name", name)) return nullptr;
    if (!arg_as_fs_path(path_obj, "export_rows", "output_path", path)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    options.typed = typed != 0;
    const json::ExportResult result = export_without_gil(*db, name, path, options, progress);
    if (result.failure) return raise_export_failure(*result.failure);
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
        return raise_os_error("Failed to create output directory: " + os_error_text(err));
      }
    }
    const SharedDatabase open = shared_db(self);
    if (!open) return nullptr;
    const Database& db = *open;
    // By raw name bytes, so a name that is not valid UTF-8 is found like any other. A table that fails is
    // noted and the others are still exported.
    std::vector<std::pair<const std::string*, std::string>> failed;
    for (const auto& entry : db.tables()) {
      if (PyErr_CheckSignals() != 0) return nullptr;
      const std::string path = json::join_path(dir, json::export_file_name(entry.first));
      const json::ExportResult result = export_without_gil(db, entry.first, path);
      if (!result.failure) continue;
      if (result.failure->stage == json::ExportFailure::Stage::Stopped) return nullptr;
      failed.emplace_back(&entry.first, result.failure->message);
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
    static const char* kwlist[] = {"table_name", nullptr};
    PyObject* name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:export_file_name", const_cast<char**>(kwlist), &name_obj)) {
      return nullptr;
    }
    std::string name;
    if (!arg_as_name(name_obj, "export_file_name", "table_name", name)) return nullptr;
    return name_to_str(json::export_file_name(name));
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
       "export_file_name(table_name)\n--\n\nThe name of the file export_all writes a table to.\n\nThe table name "
       "keeps its text, with '/', '\\', '%', control characters and bytes that are not UTF-8 (lone surrogates "
       "U+DC80..U+DCFF) written as %XX, the names '.' and '..' as %2E and %2E%2E, then '.jsonl'. A name that would "
       "give more than 255 bytes keeps a prefix, then '%~' and 32 hexadecimal digits of the SHA-256 of the raw "
       "name.\n\nArgs:\n    table_name: Name of the table\n\nReturns:\n    str: One path component, distinct "
       "for distinct names"},
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
