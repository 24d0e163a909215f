// The file header as a Python dict.
#include "ese_database.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pw::py {
namespace {

// The database header's own times are given to the second, as they always were; the times of the log
// fields keep their milliseconds.
PyObject* log_time(const std::optional<LogTime>& t, bool milliseconds = false) {
  if (!t) Py_RETURN_NONE;
  const int micros = milliseconds && t->millisecond < 1000 ? t->millisecond * 1000 : 0;
  PyObject* made = utc_datetime({t->year, t->month, t->day, t->hour, t->minute, t->second, micros});
  if (!made) {  // a damaged header: a day 0, a month 13; the raw fields say more than nothing
    PyErr_Clear();
    return Py_BuildValue("(iiiiii)", t->year, t->month, t->day, t->hour, t->minute, t->second);
  }
  return made;
}

// The fields that tie the database to its transaction logs.
bool add_log_fields(PyObject* dict, const FileHeader& h) {
  const std::pair<const char*, PyObject*> fields[] = {
      {"database_signature", signature_dict(h.database_signature)},
      {"log_signature", signature_dict(h.log_signature)},
      {"gen_min_required", PyLong_FromUnsignedLong(h.gen_min_required)},
      {"gen_max_required", PyLong_FromUnsignedLong(h.gen_max_required)},
      {"gen_max_committed", PyLong_FromUnsignedLong(h.gen_max_committed)},
      {"gen_min_consistent", PyLong_FromUnsignedLong(h.gen_min_consistent)},
      {"update_minor", PyLong_FromUnsignedLong(h.update_minor)},
  };
  bool ok = true;
  for (const auto& [key, value] : fields) {
    PyRef held(value);
    ok = ok && held && PyDict_SetItemString(dict, key, held.get()) == 0;
  }
  return ok;
}

}  // namespace

PyObject* signature_dict(const LogSignature& s) {
  if (!s.is_set()) Py_RETURN_NONE;
  const std::string_view name = s.computer_name();
  return Py_BuildValue("{s:k,s:N,s:N}", "random", static_cast<unsigned long>(s.random), "created",
                       log_time(s.created, true), "computer_name",
                       PyUnicode_DecodeLatin1(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
}

PyObject* log_time_object(const std::optional<LogTime>& t) { return log_time(t, true); }

PyObject* log_position(const LogPosition& p) {
  return Py_BuildValue("{s:k,s:H,s:H}", "generation", static_cast<unsigned long>(p.generation), "sector", p.sector,
                       "block", p.block);
}

PyObject* header_dict(const FileHeader& h) {
  PyRef dict(Py_BuildValue(
      "{s:k,s:k,s:k,s:k,s:k,s:s,s:K,s:N,s:N,s:N,s:N,s:N,s:N,s:N,s:(kkkk),s:k,s:O}", "format_version",
      static_cast<unsigned long>(h.format_version), "format_revision", static_cast<unsigned long>(h.format_revision),
      "page_size", static_cast<unsigned long>(h.page_size), "file_type", static_cast<unsigned long>(h.file_type),
      "state", static_cast<unsigned long>(h.state), "state_name", database_state_name(h.state), "database_time",
      static_cast<unsigned long long>(h.database_time), "creation_time", log_time(h.creation_time), "consistent_time",
      log_time(h.consistent_time), "attach_time", log_time(h.attach_time), "detach_time", log_time(h.detach_time),
      "consistent_position", log_position(h.consistent_position), "attach_position", log_position(h.attach_position),
      "detach_position", log_position(h.detach_position), "os_version", static_cast<unsigned long>(h.os_version[0]),
      static_cast<unsigned long>(h.os_version[1]), static_cast<unsigned long>(h.os_version[2]),
      static_cast<unsigned long>(h.os_version[3]), "checksum", static_cast<unsigned long>(h.checksum), "checksum_ok",
      h.checksum_ok ? Py_True : Py_False));
  if (!dict || !add_log_fields(dict.get(), h)) return nullptr;
  return dict.release();
}

}  // namespace pw::py
