// The typed view of a decoded row: multi-values split into lists, then every value typed (see make_typed).
#pragma once

#include <vector>

#include "../btree/walk_counts.hpp"
#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/typed_value.hpp"
#include "long_value.hpp"
#include "long_value_budget.hpp"

namespace pw {

// Elements of a multi-value stored as separate long values are resolved through `long_values` (nullptr: the
// table has none, or its tree cannot be read); an element whose value no long value answers is null and is
// counted in `counts` and, by row position, in `missing` (sized to the row). `readings` is aligned with the
// row (empty: the automatic reading for all). Given `unreadable` (sized to the row), a multi-value whose
// element offsets go back is counted there; given `budget`, an element joining a long value again past it
// is null and counted there too. An element, or a multi-value of an encrypted column, whose stored form cannot
// be read is null and counted in `unreadable` and, by reason, in `reasons` (sized to the row) when given.
void make_row_typed(Row& row, const TableInfo& table, const std::vector<TimestampReading>& readings,
                    const LongValueIndex* long_values, WalkCounts& counts, std::vector<std::uint64_t>& missing,
                    std::vector<std::uint64_t>* unreadable = nullptr, LongValueBudget* budget = nullptr,
                    std::vector<UnreadableCounts>* reasons = nullptr);

}  // namespace pw
