#include "csv_writer.hpp"

#include <charconv>

#include "../types/typed_value.hpp"
#include "../utils/utf8.hpp"
#include "json_writer.hpp"

namespace pw::csv {
namespace {

bool needs_quotes(std::string_view field) noexcept {
  for (const char c : field) {
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

std::string utf8_or_replaced(std::string_view raw) {
  std::string out;
  const auto* s = reinterpret_cast<const std::uint8_t*>(raw.data());
  for (std::size_t i = 0; i < raw.size();) {
    const Utf8Step step = utf8_step(s + i, raw.size() - i);
    out.append(step.valid ? raw.substr(i, step.length) : std::string_view("\xEF\xBF\xBD"));
    i += step.length;
  }
  return out;
}

}  // namespace

void append_field(std::string& out, std::string_view field) {
  if (field.empty()) {
    out.append("\"\"");
    return;
  }
  if (!needs_quotes(field)) {
    out.append(field);
    return;
  }
  out.push_back('"');
  for (const char c : field) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

void append_value(std::string& out, const ColumnValue& v) {
  if (json::append_number(out, v)) return;
  switch (v.tag) {
    case ValueTag::Null:
      return;
    default:  // numbers: written above
      return;
    case ValueTag::Guid:
      out.append(guid_text(v.guid));
      return;
    case ValueTag::Binary:
    case ValueTag::MultiValue:
    case ValueTag::LongBinary:
      if (v.bytes.empty()) {
        out.append("\"\"");
      } else {
        json::append_hex(out, v.bytes);
      }
      return;
    case ValueTag::Text:
      append_field(out, v.bytes);
      return;
    case ValueTag::Timestamp:
      append_iso8601(out, v.i);
      return;
    case ValueTag::List: {
      std::string array;
      json::append_value(array, v);
      append_field(out, array);
      return;
    }
  }
}

RowEncoder::RowEncoder(const TableInfo& table) : table_(&table) {}

void RowEncoder::append_header(std::string& out) const {
  for (std::size_t k = 0; k < table_->row_order.size(); ++k) {
    if (k) out.push_back(',');
    append_field(out, utf8_or_replaced(table_->row_column(k).name));
  }
  out.append("\r\n");
}

void RowEncoder::append_row(std::string& out, const Row& row) const {
  const std::size_t n = table_->row_order.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (k) out.push_back(',');
    if (k < row.values.size()) append_value(out, row.values[k]);
  }
  out.append("\r\n");
}

}  // namespace pw::csv
