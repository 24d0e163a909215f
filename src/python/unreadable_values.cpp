// The values with no readable form (compressed in a scheme not decoded, corrupt, encrypted), counted by reason,
// as Python dicts.
#include "py_ref.hpp"
#include "table_object.hpp"

namespace pw::py {

PyObject* unreadable_dict(const UnreadableCounts& counts) {
  PyRef dict(PyDict_New());
  for (std::size_t r = 0; dict && r < kUnreadableKinds; ++r) {
    if (counts[r] == 0) continue;
    PyRef count(PyLong_FromUnsignedLongLong(counts[r]));
    if (!count || PyDict_SetItemString(dict.get(), unreadable_name(static_cast<Unreadable>(r)), count.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

PyObject* unreadable_report(const TableInfo& table, const TableCursor& cursor) {
  PyRef dict(PyDict_New());
  const std::vector<UnreadableCounts>& counts = cursor.unreadable_reasons();
  for (std::size_t k = 0; dict && k < counts.size() && k < table.column_keys.size(); ++k) {
    std::uint64_t total = 0;
    for (const std::uint64_t n : counts[k]) total += n;
    if (total == 0) continue;
    PyRef key(name_to_str(table.column_keys[k]));
    PyRef reasons(key ? unreadable_dict(counts[k]) : nullptr);
    if (!reasons || PyDict_SetItem(dict.get(), key.get(), reasons.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace pw::py
