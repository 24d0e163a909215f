// The typed view of a decoded row: multi-values split into lists, then every value typed (see make_typed).
#pragma once

#include <vector>

#include "../btree/walk_counts.hpp"
#include "../catalog/table_info.hpp"
#include "../record/record.hpp"
#include "../types/typed_value.hpp"
#include "long_value.hpp"

namespace pw {

// Elements of a multi-value stored as separate long values are resolved through `long_values` (nullptr: the
// table has none, or its tree cannot be read); an element whose value no long value answers is null and is
// counted in `counts` and, by row position, in `missing` (sized to the row); an element, or a multi-value of an
// encrypted column, that has no readable form is null and counted in `unreadable` (when given, sized to the row). `readings` is aligned with
// the row (empty: the automatic reading for all).
void make_row_typed(Row& row, const TableInfo& table, const std::vector<TimestampReading>& readings,
                    const LongValueIndex* long_values, WalkCounts& counts, std::vector<std::uint64_t>& missing,
                    std::vector<UnreadableCounts>* unreadable = nullptr);

}  // namespace pw
