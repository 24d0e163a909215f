#include "log_fields.hpp"

#include <algorithm>

namespace pw {

bool LogSignature::is_set() const noexcept {
  return std::any_of(raw.begin(), raw.end(), [](std::uint8_t b) { return b != 0; });
}

std::optional<LogTime> parse_log_time(Bytes b, std::size_t at) noexcept {
  if (!fits(b, at, log_fields::kLogTimeSize)) return std::nullopt;
  LogTime t;
  t.second = b[at];
  t.minute = b[at + 1];
  t.hour = b[at + 2];
  t.day = b[at + 3];
  t.month = b[at + 4];
  t.year = 1900 + b[at + 5];
  t.utc = (b[at + 6] & 1) != 0;
  t.millisecond = (b[at + 6] >> 1) | (((b[at + 7] >> 1) & 7) << 7);
  if (t.day == 0 && t.month == 0 && t.year == 1900) return std::nullopt;
  return t;
}

LogPosition parse_log_position(Bytes b, std::size_t at) noexcept {
  return {read_u32le(b, at + 4).value_or(0), read_u16le(b, at + 2).value_or(0), read_u16le(b, at).value_or(0)};
}

std::string_view LogSignature::computer_name() const noexcept {
  const auto* name = reinterpret_cast<const char*>(raw.data() + log_fields::kSignatureComputerName);
  const auto end = std::find(name, name + log_fields::kComputerNameSize, '\0');
  return {name, static_cast<std::size_t>(end - name)};
}

LogSignature parse_signature(Bytes b, std::size_t at) noexcept {
  namespace F = log_fields;
  LogSignature s;
  if (!fits(b, at, F::kSignatureSize)) return s;
  std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at), F::kSignatureSize, s.raw.begin());
  s.random = read_u32le(b, at).value_or(0);
  s.created = parse_log_time(b, at + F::kSignatureTime);
  return s;
}

}  // namespace pw
