#include "column_builder.hpp"

#include <bit>
#include <cstring>

namespace pw::columnar {
namespace {

// The stored little-endian form of a value of the raw view, for a binary column that holds one: a
// multi-valued column whose row has a single value keeps it as bytes rather than losing it.
bool stored_form(const ColumnValue& v, std::string& out) {
  auto put = [&](auto x) {
    char bytes[sizeof x];
    std::memcpy(bytes, &x, sizeof x);
    out.assign(bytes, sizeof x);
    return true;
  };
  switch (v.tag) {
    case ValueTag::Bool:
    case ValueTag::U8:
      return put(static_cast<std::uint8_t>(v.u));
    case ValueTag::I8:
      return put(static_cast<std::int8_t>(v.i));
    case ValueTag::I16:
      return put(static_cast<std::int16_t>(v.i));
    case ValueTag::U16:
      return put(static_cast<std::uint16_t>(v.u));
    case ValueTag::I32:
      return put(static_cast<std::int32_t>(v.i));
    case ValueTag::U32:
      return put(static_cast<std::uint32_t>(v.u));
    case ValueTag::I64:
      return put(v.i);
    case ValueTag::U64:
    case ValueTag::DateTime:
    case ValueTag::Currency:
      return put(v.u);
    case ValueTag::F32:
      return put(static_cast<float>(v.f));
    case ValueTag::F64:
      return put(v.f);
    case ValueTag::Guid:
      out.assign(reinterpret_cast<const char*>(v.guid.data()), v.guid.size());
      return true;
    case ValueTag::Text:
      out = v.bytes;
      return true;
    default:
      return false;
  }
}

bool is_bytes(ValueTag tag) noexcept {
  return tag == ValueTag::Binary || tag == ValueTag::LongBinary || tag == ValueTag::MultiValue;
}

}  // namespace

ColumnBuilder::ColumnBuilder(ArrowKind kind, bool list)
    : kind_(kind), list_(list), has_offsets_(list || is_variable(kind)), width_(fixed_width(kind)) {
  if (list_) element_ = std::make_unique<ColumnBuilder>(kind, false);
  start_buffers();
}

void ColumnBuilder::start_buffers() {
  buffers_ = ArrayBuffers{};
  capacity_ = 0;
  if (list_ || is_variable(kind_)) {
    buffers_.offsets.reserve(reserved_rows_ + 1);
    buffers_.offsets.push_back(0);
  }
  // Variable data is sized like the previous batch's, and a little more, rather than grown by doubling: each
  // doubling copies the data and touches fresh memory.
  if (is_variable(kind_) && !list_ && last_data_bytes_ > 0)
    buffers_.data.reserve(std::min(last_data_bytes_ + last_data_bytes_ / 8, kMaxArrayBytes));
  if (reserved_rows_ > 0) grow(reserved_rows_);
}

void ColumnBuilder::reserve(std::size_t rows) {
  reserved_rows_ = rows;
  if (rows > capacity_) grow(rows);
  if (list_ || is_variable(kind_)) buffers_.offsets.reserve(rows + 1);
}

// Bits and fixed-width values live in buffers sized for `capacity_` slots (zeroed), so an append writes in
// place; the buffers are cut to the length when the array is exported. Variable data only ever grows by its
// values.
void ColumnBuilder::grow(std::size_t slots) {
  capacity_ = slots;
  buffers_.validity.resize((slots + 7) / 8, 0);
  if (kind_ == ArrowKind::Bool && !list_) {
    buffers_.data.resize((slots + 7) / 8, 0);
  } else if (!list_ && !is_variable(kind_)) {
    buffers_.data.resize(slots * fixed_width(kind_));
  }
}

bool ColumnBuilder::append(const ColumnValue& value) {
  if (value.is_null()) {
    append_null();
    return true;
  }
  if (!list_) {
    if (append_scalar(value)) return true;
    append_null();
    return false;
  }
  bool all_fit = true;
  ensure_slot();
  if (value.tag == ValueTag::List) {
    if (value.elements.size() > kMaxArrayBytes - static_cast<std::size_t>(element_->length())) {
      append_null();
      return false;
    }
    for (const ColumnValue& element : value.elements) all_fit = element_->append(element) && all_fit;
  } else {
    all_fit = element_->append(value);
  }
  buffers_.offsets.push_back(static_cast<std::int32_t>(element_->length()));
  mark(true);
  return all_fit;
}

void ColumnBuilder::append_bool(bool value) {
  ensure_slot();
  const auto slot = static_cast<std::size_t>(buffers_.length);
  if (value) buffers_.data[slot / 8] |= static_cast<std::uint8_t>(1u << (slot % 8));
  mark(true);
}

bool ColumnBuilder::append_bytes(const char* data, std::size_t size) {
  auto& d = buffers_.data;
  if (size > kMaxArrayBytes - d.size()) return false;  // checked before the copy
  const std::size_t start = d.size();
  d.insert(d.end(), data, data + size);
  return end_value(start);
}

bool ColumnBuilder::append_scalar(const ColumnValue& v) {
  auto fixed = [&](ValueTag wanted, auto x) {
    if (v.tag != wanted) return false;
    append_raw(x);
    return true;
  };
  switch (kind_) {
    case ArrowKind::Bool:
      if (v.tag != ValueTag::Bool) return false;
      append_bool(v.u != 0);
      return true;
    case ArrowKind::U8:
      return fixed(ValueTag::U8, static_cast<std::uint8_t>(v.u));
    case ArrowKind::I16:
      return fixed(ValueTag::I16, static_cast<std::int16_t>(v.i));
    case ArrowKind::U16:
      return fixed(ValueTag::U16, static_cast<std::uint16_t>(v.u));
    case ArrowKind::I32:
      return fixed(ValueTag::I32, static_cast<std::int32_t>(v.i));
    case ArrowKind::U32:
      return fixed(ValueTag::U32, static_cast<std::uint32_t>(v.u));
    case ArrowKind::I64:
      return fixed(ValueTag::I64, v.i);
    case ArrowKind::U64:
      if (v.tag == ValueTag::DateTime || v.tag == ValueTag::Currency) return fixed(v.tag, v.u);
      return fixed(ValueTag::U64, v.u);
    case ArrowKind::F32:
      return fixed(ValueTag::F32, static_cast<float>(v.f));
    case ArrowKind::F64:
      return fixed(ValueTag::F64, v.f);
    case ArrowKind::Timestamp:
      return fixed(ValueTag::Timestamp, v.i);
    case ArrowKind::Utf8:
      if (v.tag == ValueTag::Text) return append_bytes(v.bytes.data(), v.bytes.size());
      if (v.tag == ValueTag::Guid) {
        const std::string text = guid_text(v.guid);
        return append_bytes(text.data(), text.size());
      }
      return false;
    case ArrowKind::Binary: {
      if (is_bytes(v.tag)) return append_bytes(v.bytes.data(), v.bytes.size());
      std::string stored;
      return stored_form(v, stored) && append_bytes(stored.data(), stored.size());
    }
  }
  return false;
}

bool ColumnBuilder::would_overflow(const ColumnValue& value) const {
  if (list_) {
    if (value.tag != ValueTag::List) return element_->would_overflow(value);
    std::size_t total = 0;
    for (const ColumnValue& e : value.elements) total += e.tag == ValueTag::Guid ? 36 : e.bytes.size();
    return is_variable(kind_) && total > kMaxArrayBytes - element_->buffers_.data.size();
  }
  if (!is_variable(kind_)) return false;
  const std::size_t size = value.tag == ValueTag::Guid ? 36 : value.bytes.size();
  return size > kMaxArrayBytes - buffers_.data.size();
}

void ColumnBuilder::finish(ArrowArray* out) {
  std::vector<ArrowArray*> children;
  if (list_) {
    auto child = std::make_unique<ArrowArray>();
    element_->finish(child.get());
    children.push_back(child.release());
  }
  const auto length = static_cast<std::size_t>(buffers_.length);
  last_data_bytes_ = buffers_.data.size();
  buffers_.validity.resize((length + 7) / 8);
  if (kind_ == ArrowKind::Bool && !list_) {
    buffers_.data.resize((length + 7) / 8);
  } else if (!list_ && !is_variable(kind_)) {
    buffers_.data.resize(length * fixed_width(kind_));
  }
  const ArrayLayout layout = list_                ? ArrayLayout::List
                             : is_variable(kind_) ? ArrayLayout::Variable
                                                  : ArrayLayout::Fixed;
  export_array(layout, std::move(buffers_), std::move(children), out);
  start_buffers();
}

}  // namespace pw::columnar
