// Rows as Python dicts: the keys of a table's columns made once, each row's dict copied from a template.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "py_ref.hpp"

namespace pw::py {

class RowDicts {
 public:
  // The keys of the table's columns in row order, or of the positions in `order` in that order, when given.
  // False with an exception set on failure.
  bool init(const TableInfo& table, const std::vector<std::size_t>* order = nullptr);
  // A new dict of the row's values (the typed or the raw view); nullptr with an exception set.
  PyObject* make(const Row& row, bool typed) const;

 private:
  std::vector<std::pair<std::size_t, PyRef>> keys_;  // position in the row, key
  PyRef template_;  // every key, None: a copy of a dict with str keys clones its key table
};

}  // namespace pw::py
