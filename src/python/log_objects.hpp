// The Python side of the transaction logs: LogSet objects, their record iterators, and the conversions the
// database's log methods share.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "../log/log_set.hpp"
#include "py_ref.hpp"

namespace pw::py {

using SharedLogSet = std::shared_ptr<const LogSet>;

// dict[key] = value, stealing value; false (an exception set) when value is nullptr or the store fails.
inline bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef held(value);
  return held && PyDict_SetItemString(dict, key, held.get()) == 0;
}

PyTypeObject* log_set_type();
int ready_log_types();
int ready_log_change_type();  // log_methods.cpp

// A LogSet object for a `logs` argument: a LogSet as it is, else a path or an iterable of paths, opened
// (without the GIL). New reference, or nullptr with FileNotFoundError / OSError / TypeError set.
PyObject* log_set_from_arg(PyObject* arg, const char* func);
// The set of a LogSet object (the argument must be one).
SharedLogSet shared_log_set(PyObject* log_set_object);

// Which table a tree of the database belongs to, for the records that name its object id.
struct TreeOwner {
  PyRef table;       // the table's name (str)
  const char* tree;  // "data", "index" or "long_value"
};
using TreeOwners = std::unordered_map<std::uint32_t, TreeOwner>;

// An iterator of the set's records as dicts; `types` (record type codes) limits them when not empty; `owners`,
// when given, adds "table" and "tree" to the records of known trees.
PyObject* new_log_record_iterator(PyObject* log_set_object, std::vector<std::uint8_t> types,
                                  std::unique_ptr<TreeOwners> owners);
// Record type codes from an iterable of type names ("Insert", ...); None gives all. False with an exception set.
bool record_types_arg(PyObject* names, std::vector<std::uint8_t>& out, const char* func);

}  // namespace pw::py
