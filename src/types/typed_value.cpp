#include "typed_value.hpp"

#include <bit>
#include <cmath>
#include <cstdio>

#include "../record/parser.hpp"

namespace pw {
namespace {

constexpr std::int64_t kMicrosPerDay = 86'400'000'000;
constexpr double kOleUnixEpoch = 25569.0;                         // 1970-01-01 as an OLE date
constexpr std::uint64_t kFiletimeUnixEpoch = 116444736000000000;  // 1970-01-01 as a FILETIME
constexpr std::int64_t kMinMicros = -11644473600LL * 1000000;     // 1601-01-01
constexpr std::int64_t kMaxMicros = 253402300799LL * 1000000;     // 9999-12-31 23:59:59
// The automatic choice: OLE dates from 1900-01-01 (day 2) to 2200-01-01 (day 109575); FILETIMEs from 1970-01-01
// to 2200-01-01 (84006 days later).
constexpr double kOlePlausibleLow = 2.0;
constexpr double kOlePlausibleHigh = 109575.0;
constexpr std::int64_t kFiletimePlausibleHigh = 84006 * kMicrosPerDay;

std::optional<std::uint64_t> eight_byte_bits(const ColumnValue& v) noexcept {
  switch (v.tag) {
    case ValueTag::DateTime:
    case ValueTag::Currency:
    case ValueTag::U64:
      return v.u;
    case ValueTag::I64:
      return static_cast<std::uint64_t>(v.i);
    case ValueTag::F64:
      return std::bit_cast<std::uint64_t>(v.f);
    case ValueTag::Binary:
    case ValueTag::LongBinary:
      if (v.bytes.size() == 8) return read_u64le(as_bytes(v.bytes), 0);
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<TimestampReading> parse_timestamp_reading(std::string_view word) noexcept {
  if (word == "ole") return TimestampReading::Ole;
  if (word == "filetime") return TimestampReading::Filetime;
  if (word == "unix") return TimestampReading::Unix;
  if (word == "raw") return TimestampReading::Raw;
  return std::nullopt;
}

std::optional<std::int64_t> ole_date_micros(std::uint64_t bits, bool plausible) noexcept {
  const double days = std::bit_cast<double>(bits);
  if (!std::isfinite(days)) return std::nullopt;
  if (plausible && !(days >= kOlePlausibleLow && days < kOlePlausibleHigh)) return std::nullopt;
  const double micros = std::round((days - kOleUnixEpoch) * static_cast<double>(kMicrosPerDay));
  if (!(micros >= static_cast<double>(kMinMicros) && micros <= static_cast<double>(kMaxMicros))) return std::nullopt;
  return static_cast<std::int64_t>(micros);
}

std::optional<std::int64_t> filetime_micros(std::uint64_t ticks, bool plausible) noexcept {
  const std::int64_t micros =
      static_cast<std::int64_t>(ticks / 10) - static_cast<std::int64_t>(kFiletimeUnixEpoch / 10);
  if (ticks / 10 > static_cast<std::uint64_t>(kMaxMicros) + kFiletimeUnixEpoch / 10) return std::nullopt;
  if (plausible && !(micros >= 0 && micros < kFiletimePlausibleHigh)) return std::nullopt;
  if (micros < kMinMicros || micros > kMaxMicros) return std::nullopt;
  return micros;
}

std::optional<std::int64_t> read_instant(std::uint64_t bits, TimestampReading reading) noexcept {
  switch (reading) {
    case TimestampReading::Auto:
      if (auto t = ole_date_micros(bits, true)) return t;
      return filetime_micros(bits, true);
    case TimestampReading::Ole:
      return ole_date_micros(bits, false);
    case TimestampReading::Filetime:
      return filetime_micros(bits, false);
    case TimestampReading::Unix:
      return unix_seconds_micros(static_cast<std::int64_t>(bits));
    case TimestampReading::Raw:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::int64_t> unix_seconds_micros(std::int64_t seconds) noexcept {
  if (seconds < kMinMicros / 1000000 || seconds > kMaxMicros / 1000000) return std::nullopt;
  return seconds * 1000000;
}

void make_typed(ColumnValue& v, const ColumnInfo& column, TimestampReading reading) {
  if (v.tag == ValueTag::List) {
    for (ColumnValue& element : v.elements) make_typed(element, column, reading);
    return;
  }
  const bool forced = reading != TimestampReading::Auto;
  if (v.tag == ValueTag::DateTime || (forced && column.column_type != column_type::kDateTime)) {
    if (const auto bits = eight_byte_bits(v)) {
      if (const auto instant = read_instant(*bits, reading)) {
        v = ColumnValue::signed_of(ValueTag::Timestamp, *instant);
        return;
      }
    }
    if (v.tag == ValueTag::DateTime) {
      v.tag = ValueTag::U64;  // no reading accepts it: the raw integer
      return;
    }
  }
  if (v.tag == ValueTag::Currency) {
    v = ColumnValue::signed_of(ValueTag::I64, static_cast<std::int64_t>(v.u));
  } else if (v.tag == ValueTag::Text) {
    while (!v.bytes.empty() && v.bytes.back() == '\0') v.bytes.pop_back();
  }
}

CivilTime civil_time(std::int64_t micros) noexcept {
  // Days and time of day with floor division, then the civil date of a day count (Hinnant's algorithm).
  std::int64_t days = micros / kMicrosPerDay;
  std::int64_t rest = micros % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  const std::int64_t seconds = rest / 1000000;
  return {static_cast<int>(y),
          static_cast<int>(m),
          static_cast<int>(d),
          static_cast<int>(seconds / 3600),
          static_cast<int>(seconds / 60 % 60),
          static_cast<int>(seconds % 60),
          static_cast<int>(rest % 1000000)};
}

void append_iso8601(std::string& out, std::int64_t micros) {
  const CivilTime t = civil_time(micros);
  char text[40];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                        t.second);
  if (t.microsecond != 0)
    n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), ".%06d", t.microsecond);
  out.append(text, static_cast<std::size_t>(n));
  out.push_back('Z');
}

}  // namespace pw
