#include "csv_writer.hpp"

#include <charconv>

#include "../catalog/column_keys.hpp"
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

bool looks_like_formula(std::string_view text) noexcept {
  if (text.empty()) return false;
  const char c = text.front();
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

void append_value(std::string& out, const ColumnValue& v, bool escape_formulas) {
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
      if (escape_formulas && looks_like_formula(v.bytes)) {
        append_field(out, "'" + v.bytes);
      } else {
        append_field(out, v.bytes);
      }
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

RowEncoder::RowEncoder(const TableInfo& table, CsvOptions options) : table_(&table), options_(options) {
  std::vector<std::uint32_t> ids;
  for (std::size_t k = 0; k < table.row_order.size(); ++k) {
    header_.push_back(utf8_or_replaced(table.column_keys[k]));
    ids.push_back(table.row_column(k).id);
  }
  make_keys_distinct(header_, ids);
  if (options.deleted_marker) header_.push_back(utf8_or_replaced(table.deleted_key));
}

void RowEncoder::append_header(std::string& out) const {
  for (std::size_t k = 0; k < header_.size(); ++k) {
    if (k) out.push_back(',');
    if (options_.escape_formulas && looks_like_formula(header_[k])) {
      append_field(out, "'" + header_[k]);
    } else {
      append_field(out, header_[k]);
    }
  }
  out.append("\r\n");
}

void RowEncoder::append_row(std::string& out, const Row& row, bool deleted) const {
  const std::size_t n = table_->row_order.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (k) out.push_back(',');
    if (k < row.values.size()) append_value(out, row.values[k], options_.escape_formulas);
  }
  if (options_.deleted_marker) out.append(n ? (deleted ? ",true" : ",false") : (deleted ? "true" : "false"));
  out.append("\r\n");
}

}  // namespace pw::csv
