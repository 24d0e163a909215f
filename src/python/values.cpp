#include "values.hpp"

#include <datetime.h>

#include "../types/typed_value.hpp"
#include "py_ref.hpp"

namespace pw::py {
namespace {

PyObject* g_uuid_type = nullptr;

PyObject* bytes_of(const std::string& s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* uuid_of(const std::array<std::uint8_t, 16>& g) {
  PyRef raw(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(g.data()), 16));
  if (!raw) return nullptr;
  PyRef args(PyTuple_New(0));
  PyRef kwargs(Py_BuildValue("{s:O}", "bytes_le", raw.get()));
  if (!args || !kwargs) return nullptr;
  return PyObject_Call(g_uuid_type, args.get(), kwargs.get());
}

}  // namespace

PyObject* utc_datetime(const CivilTime& t) {
  return PyDateTimeAPI->DateTime_FromDateAndTime(t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond,
                                                 PyDateTime_TimeZone_UTC, PyDateTimeAPI->DateTimeType);
}

int init_typed_values() {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI) return -1;
  PyRef uuid(PyImport_ImportModule("uuid"));
  if (!uuid) return -1;
  g_uuid_type = PyObject_GetAttrString(uuid.get(), "UUID");
  return g_uuid_type ? 0 : -1;
}

PyObject* to_python(const ColumnValue& v, bool typed) {
  switch (v.tag) {
    case ValueTag::Null:
      Py_RETURN_NONE;
    case ValueTag::Bool:
      return PyBool_FromLong(v.u != 0);
    case ValueTag::I8:
    case ValueTag::I16:
    case ValueTag::I32:
    case ValueTag::I64:
      return PyLong_FromLongLong(v.i);
    case ValueTag::U8:
    case ValueTag::U16:
    case ValueTag::U32:
    case ValueTag::U64:
    case ValueTag::DateTime:
    case ValueTag::Currency:
      return PyLong_FromUnsignedLongLong(v.u);
    case ValueTag::F32:
    case ValueTag::F64:
      return PyFloat_FromDouble(v.f);
    case ValueTag::Guid: {
      if (typed) return uuid_of(v.guid);
      const std::string text = guid_text(v.guid);
      return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    }
    case ValueTag::Text:
      return PyUnicode_DecodeUTF8(v.bytes.data(), static_cast<Py_ssize_t>(v.bytes.size()), "replace");
    case ValueTag::Binary:
    case ValueTag::MultiValue:
    case ValueTag::LongBinary:
      return bytes_of(v.bytes);
    case ValueTag::Timestamp:
      return utc_datetime(civil_time(v.i));
    case ValueTag::List: {
      PyRef list(PyList_New(static_cast<Py_ssize_t>(v.elements.size())));
      if (!list) return nullptr;
      for (std::size_t k = 0; k < v.elements.size(); ++k) {
        PyObject* item = to_python(v.elements[k], typed);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
      }
      return list.release();
    }
  }
  Py_RETURN_NONE;
}

}  // namespace pw::py
