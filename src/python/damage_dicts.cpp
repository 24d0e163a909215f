#include "damage_dicts.hpp"

#include "ese_database.hpp"
#include "py_ref.hpp"

namespace pw::py {

PyObject* walk_counts_items(PyObject* dict, const WalkCounts& c) {
  const std::pair<const char*, std::uint64_t> items[] = {{"bad_entries", c.bad_entries},
                                                         {"overlapping_entries", c.overlapping_entries},
                                                         {"foreign_pages", c.foreign_pages},
                                                         {"loops", c.loops},
                                                         {"unreadable_pages", c.unreadable_pages}};
  for (const auto& [key, value] : items) {
    PyRef v(PyLong_FromUnsignedLongLong(value));
    if (!v || PyDict_SetItemString(dict, key, v.get()) < 0) return nullptr;
  }
  return dict;
}

PyObject* column_counts_dict(const TableInfo& table, const std::vector<std::uint64_t>& counts) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (std::size_t k = 0; k < counts.size() && k < table.column_keys.size(); ++k) {
    if (counts[k] == 0) continue;
    PyRef key(name_to_str(table.column_keys[k]));
    PyRef value(PyLong_FromUnsignedLongLong(counts[k]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* catalog_damage_dict(const CatalogDamage& damage) {
  if (!damage.any()) Py_RETURN_NONE;
  PyRef dict(PyDict_New());
  if (!dict || !walk_counts_items(dict.get(), damage.counts)) return nullptr;
  PyRef error(damage.error ? name_to_str(damage.error->to_string()) : Py_NewRef(Py_None));
  PyRef skipped(PyDict_New());
  PyRef notes(PyList_New(0));
  if (!error || !skipped || !notes) return nullptr;
  for (const auto& [type, count] : damage.skipped_records) {
    PyRef key(PyLong_FromUnsignedLong(type));
    PyRef value(PyLong_FromUnsignedLongLong(count));
    if (!key || !value || PyDict_SetItem(skipped.get(), key.get(), value.get()) < 0) return nullptr;
  }
  for (const std::string& note : damage.notes) {
    PyRef text(name_to_str(note));  // names in a note are raw bytes, kept distinct as names are
    if (!text || PyList_Append(notes.get(), text.get()) < 0) return nullptr;
  }
  if (PyDict_SetItemString(dict.get(), "error", error.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "skipped_records", skipped.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "notes", notes.get()) < 0)
    return nullptr;
  return dict.release();
}

PyObject* truncation_dict(const FileExtent& extent) {
  if (!extent.truncated()) Py_RETURN_NONE;
  return Py_BuildValue("{s:k,s:k,s:N}", "file_pages", static_cast<unsigned long>(extent.file_pages), "last_page",
                       static_cast<unsigned long>(extent.last_page), "named_by", name_to_str(extent.named_by));
}

}  // namespace pw::py
