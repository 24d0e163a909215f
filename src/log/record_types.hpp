// Log record types: their names and the size of each record, as its fixed part and length fields give it.
#pragma once

#include <cstdint>
#include <string_view>

#include "../utils/bytes.hpp"

namespace pw {

// The engine's name of a record type ("Insert", "Commit0", ...); "Unknown" for a type that does not exist.
std::string_view log_record_type_name(std::uint8_t type) noexcept;
// The type a name gives; false for a name of no type.
bool parse_log_record_type(std::string_view name, std::uint8_t& out) noexcept;

// The bytes of a record's fixed part; 0 for a type whose records no engine writes or that does not exist.
std::uint32_t fixed_log_record_size(std::uint8_t type) noexcept;

enum class RecordSizeStatus : std::uint8_t {
  Ok,
  UnknownType,  // no size is known for this type
  Truncated,    // the bytes end inside the fixed part, before the length fields
};
struct RecordSize {
  RecordSizeStatus status = RecordSizeStatus::Ok;
  std::uint64_t size = 0;  // the whole record, fixed part and what its length fields add (may exceed the bytes)
};

// The size of the record that starts at record[0] (its type byte).
RecordSize log_record_size(Bytes record) noexcept;

}  // namespace pw
