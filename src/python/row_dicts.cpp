#include "row_dicts.hpp"

#include "ese_database.hpp"
#include "values.hpp"

namespace pw::py {

bool RowDicts::init(const TableInfo& table, const std::vector<std::size_t>* order) {
  keys_.clear();
  template_ = PyRef(PyDict_New());
  if (!template_) return false;
  const std::size_t count = order ? order->size() : table.row_order.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t k = order ? (*order)[i] : i;
    PyRef key(name_to_str(table.column_keys[k]));
    if (!key || PyDict_SetItem(template_.get(), key.get(), Py_None) < 0) return false;
    keys_.emplace_back(k, std::move(key));
  }
  return true;
}

PyObject* RowDicts::make(const Row& row, bool typed) const {
  PyRef dict(PyDict_Copy(template_.get()));
  if (!dict) return nullptr;
  for (const auto& [position, key] : keys_) {
    PyRef value(to_python(row.values[position], typed));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace pw::py
