// export_table, export_all: rows as JSON Lines files, one line per row, each line handed to the kernel as soon
// as it is built.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "../cursor/table_cursor.hpp"
#include "../export/file_name.hpp"
#include "../export/json_writer.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "py_ref.hpp"

namespace pw::py {
namespace {

// Closes the descriptor when the export leaves, on every path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);  // after a close failure the descriptor is gone either way: no retry
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

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

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Writes all of `data`; returns 0 or the errno of the failed write.
int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // no progress on a non-empty write: give up rather than spin
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Exports the table whose raw name is `name` to `path`. On failure a Python error is set and false returned;
// the lines written before the failure stay in the file.
bool export_one(const Database& db, const std::string& name, const std::string& path) {
  auto cursor = open_table(db, name);
  if (!cursor) {
    raise_ese_error(cursor.error());
    return false;
  }
  if (has_nul(path)) {
    raise_os_error("Failed to create output file: " + os_error_text(EINVAL));
    return false;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    raise_os_error("Failed to create output file: " + os_error_text(errno));
    return false;
  }
  FileDescriptor file(fd);
  const json::RowEncoder encoder(cursor->table());
  Row row;
  std::string line;
  for (;;) {
    auto more = cursor->next_row(row);
    if (!more) {
      raise_os_error("Error reading record: " + more.error().to_string());
      return false;
    }
    if (!more.value()) break;
    line.clear();
    encoder.append_row(line, row);
    if (const int err = write_all(file.get(), line.data(), line.size()); err != 0) {
      raise_os_error("Write error: " + os_error_text(err));
      return false;
    }
  }
  return true;
}

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: creates `path` and its missing parents. An existing directory (or one created meanwhile by
// someone else) is fine; an existing non-directory gives EEXIST. Returns 0 or an errno.
int create_directories(const std::string& path, int depth = 0) {
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT && depth < 4096) {
    // Parent: strip trailing slashes, then the last component, then the slashes before it.
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    while (end > 0 && path[end - 1] != '/') --end;
    while (end > 0 && path[end - 1] == '/') --end;
    if (end > 0) {
      const int parent_err = create_directories(path.substr(0, end), depth + 1);
      if (parent_err != 0) return parent_err;
      if (::mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  if (err == EEXIST && is_directory(path)) return 0;
  return err;
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
    if (!arg_as_utf8(name_obj, "export_table", "table_name", name)) return nullptr;
    if (!arg_as_fs_path(path_obj, "export_table", "output_path", path)) return nullptr;
    if (!export_one(db_of(self), name, path)) return nullptr;
    Py_RETURN_NONE;
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
      const int err = has_nul(dir) ? EINVAL : create_directories(dir);
      if (err != 0) return raise_os_error("Failed to create output directory: " + os_error_text(err));
    }
    const Database& db = db_of(self);
    // By raw name bytes, so a name that is not valid UTF-8 is found like any other.
    for (const auto& entry : db.tables()) {
      const std::string path = json::join_path(dir, json::export_file_name(entry.first));
      if (!export_one(db, entry.first, path)) return nullptr;
    }
    Py_RETURN_NONE;
  });
}

}  // namespace pw::py
