// The file header as a Python dict.
#include "ese_database.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace pw::py {
namespace {

PyObject* log_time(const std::optional<LogTime>& t) {
  if (!t) Py_RETURN_NONE;
  PyObject* made = utc_datetime({t->year, t->month, t->day, t->hour, t->minute, t->second, 0});
  if (!made) {  // a damaged header: a day 0, a month 13; the raw fields say more than nothing
    PyErr_Clear();
    return Py_BuildValue("(iiiiii)", t->year, t->month, t->day, t->hour, t->minute, t->second);
  }
  return made;
}

PyObject* log_position(const LogPosition& p) {
  return Py_BuildValue("{s:k,s:H,s:H}", "generation", static_cast<unsigned long>(p.generation), "sector", p.sector,
                       "block", p.block);
}

}  // namespace

PyObject* header_dict(const FileHeader& h) {
  return Py_BuildValue(
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
      h.checksum_ok ? Py_True : Py_False);
}

}  // namespace pw::py
