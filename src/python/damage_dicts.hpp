// Damage as Python dicts, in the one vocabulary of every view: the walk counts (bad_entries,
// overlapping_entries, foreign_pages, loops, unreadable_pages), missing_long_values per column, and the
// catalog's and the file's own findings.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "../btree/walk_counts.hpp"
#include "../catalog/file_extent.hpp"
#include "../catalog/parser.hpp"

namespace pw::py {

// Sets the five walk counts in `dict`; returns dict, or nullptr with an exception set.
PyObject* walk_counts_items(PyObject* dict, const WalkCounts& counts);

// {column key: count} of the nonzero counts, aligned with the table's row order.
PyObject* column_counts_dict(const TableInfo& table, const std::vector<std::uint64_t>& counts);

// None for a sound catalog, else {the walk counts, 'error': str | None, 'skipped_records': {type: count},
// 'notes': [str]}.
PyObject* catalog_damage_dict(const CatalogDamage& damage);

// None when the file holds every page named, else {'file_pages', 'last_page', 'named_by'}.
PyObject* truncation_dict(const FileExtent& extent);

}  // namespace pw::py
