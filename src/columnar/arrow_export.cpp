#include "arrow_export.hpp"

#include <array>
#include <memory>

namespace pw::columnar {
namespace {

struct ArrayHolder {
  ArrayBuffers buffers;
  std::array<const void*, 3> pointers{};
  std::vector<ArrowArray*> children;
};

void release_array(ArrowArray* array) {
  auto* holder = static_cast<ArrayHolder*>(array->private_data);
  for (ArrowArray* child : holder->children) {
    if (child->release) child->release(child);  // a consumer may have moved it out (and nulled its release)
    delete child;
  }
  delete holder;
  array->release = nullptr;
}

// A buffer pointer that is never null, even for an empty buffer: some consumers read it unconditionally.
template <class Buffer>
const void* buffer_of(Buffer& v) {
  if (v.empty()) v.reserve(1);
  return v.data();
}

struct SchemaHolder {
  std::string format;
  std::string name;
  std::string metadata;
  std::vector<ArrowSchema*> children;
};

void release_schema(ArrowSchema* schema) {
  auto* holder = static_cast<SchemaHolder*>(schema->private_data);
  for (ArrowSchema* child : holder->children) {
    if (child->release) child->release(child);
    delete child;
  }
  delete holder;
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, std::unique_ptr<SchemaHolder> holder) {
  out->format = holder->format.c_str();
  out->name = holder->name.c_str();
  out->metadata = holder->metadata.empty() ? nullptr : holder->metadata.data();
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = static_cast<std::int64_t>(holder->children.size());
  out->children = holder->children.empty() ? nullptr : holder->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = holder.release();
}

ArrowSchema* field_schema(const ArrowColumn& column) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->name = column.name;
  holder->metadata = column.metadata;
  if (column.list) {
    holder->format = "+l";
    auto element = std::make_unique<SchemaHolder>();
    element->format = arrow_format(column.kind);
    element->name = "item";
    auto child = std::make_unique<ArrowSchema>();
    fill_schema(child.get(), std::move(element));
    holder->children.push_back(child.release());
  } else {
    holder->format = arrow_format(column.kind);
  }
  auto schema = std::make_unique<ArrowSchema>();
  fill_schema(schema.get(), std::move(holder));
  return schema.release();
}

}  // namespace

void export_array(ArrayLayout layout, ArrayBuffers buffers, std::vector<ArrowArray*> children, ArrowArray* out) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->buffers = std::move(buffers);
  holder->children = std::move(children);
  ArrayBuffers& b = holder->buffers;
  holder->pointers[0] = b.null_count == 0 ? nullptr : buffer_of(b.validity);
  std::int64_t n_buffers = 1;
  switch (layout) {
    case ArrayLayout::Fixed:
      holder->pointers[1] = buffer_of(b.data);
      n_buffers = 2;
      break;
    case ArrayLayout::Variable:
      holder->pointers[1] = buffer_of(b.offsets);
      holder->pointers[2] = buffer_of(b.data);
      n_buffers = 3;
      break;
    case ArrayLayout::List:
      holder->pointers[1] = buffer_of(b.offsets);
      n_buffers = 2;
      break;
    case ArrayLayout::Struct:
      break;
  }
  out->length = b.length;
  out->null_count = b.null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<std::int64_t>(holder->children.size());
  out->buffers = holder->pointers.data();
  out->children = holder->children.empty() ? nullptr : holder->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = holder.release();
}

void export_schema(const std::vector<ArrowColumn>& columns, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = "+s";
  holder->children.reserve(columns.size());
  try {
    for (const ArrowColumn& column : columns) holder->children.push_back(field_schema(column));
  } catch (...) {
    for (ArrowSchema* child : holder->children) {
      child->release(child);
      delete child;
    }
    throw;
  }
  fill_schema(out, std::move(holder));
  out->flags = 0;
}

}  // namespace pw::columnar
