// The typed view of values: integers as the engine types them, dates as instants, text without trailing NULs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "../catalog/table_info.hpp"
#include "column_value.hpp"

namespace pw {

// How an 8-byte value reads as a point in time. The engine's DateTime is an OLE Automation date (a double of
// days since 1899-12-30); some Windows components store a FILETIME (100 ns units since 1601) in it, or in
// Long long columns.
enum class TimestampReading : std::uint8_t { Auto, Ole, Filetime, Unix, Raw };

std::optional<TimestampReading> parse_timestamp_reading(std::string_view word) noexcept;

// Microseconds since 1970-01-01 UTC of an OLE date, a FILETIME or Unix seconds; nothing when the reading gives
// no instant between the years 1601 and 9999 (or, with `plausible`, between 1900 and 2200 for OLE and between
// 1970 and 2200 for FILETIME: the bounds of the automatic choice).
std::optional<std::int64_t> ole_date_micros(std::uint64_t bits, bool plausible) noexcept;
std::optional<std::int64_t> filetime_micros(std::uint64_t ticks, bool plausible) noexcept;
std::optional<std::int64_t> unix_seconds_micros(std::int64_t seconds) noexcept;

// The instant an 8-byte value gives under `reading` (Auto: the OLE reading when plausible, else the FILETIME
// reading when plausible); nothing for Raw or when the reading gives none.
std::optional<std::int64_t> read_instant(std::uint64_t bits, TimestampReading reading) noexcept;

// Turns a value of the raw view into its typed form, in place: Currency signed; DateTime an instant (Auto: the
// OLE reading when plausible, else the FILETIME reading when plausible, else the raw integer); a forced reading
// applies to any 8-byte value; text loses trailing NULs. Lists are converted element by element.
void make_typed(ColumnValue& value, const ColumnInfo& column, TimestampReading reading);

// Civil date and time of microseconds since 1970-01-01 (proleptic Gregorian, UTC).
struct CivilTime {
  int year, month, day, hour, minute, second, microsecond;
};
CivilTime civil_time(std::int64_t micros) noexcept;

// Appends `YYYY-MM-DDTHH:MM:SS[.ffffff]Z` (the fraction only when it is not zero).
void append_iso8601(std::string& out, std::int64_t micros);

}  // namespace pw
