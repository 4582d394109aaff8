#include "columns/builder.h"

#include "columns/arrow_import.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

namespace geoweave::columns {
namespace {

struct ArrayPrivate {
  std::shared_ptr<const BuiltColumn> column;
  const void* buffers[3];
};

void release_array(ArrowArray* array) {
  if (!array->release) return;
  delete static_cast<ArrayPrivate*>(array->private_data);
  array->private_data = nullptr;
  array->release = nullptr;
}

struct SchemaPrivate {
  std::string format;
  std::string metadata;
};

void release_schema(ArrowSchema* schema) {
  if (!schema->release) return;
  delete static_cast<SchemaPrivate*>(schema->private_data);
  schema->private_data = nullptr;
  schema->release = nullptr;
}

void append_i32(std::string& s, std::size_t v) {
  const auto n = static_cast<std::int32_t>(v);
  char b[4];
  std::memcpy(b, &n, 4);
  s.append(b, 4);
}

struct StreamPrivate {
  std::shared_ptr<const BuiltColumn> column;
  std::string format, extension_name, extension_metadata;
  std::size_t next = 0;  // the array handed out next: 0 is the column itself
  std::string last_error;
};

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  try {
    export_schema(p->format.c_str(), p->extension_name, p->extension_metadata, out);
  } catch (const std::bad_alloc&) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
  return 0;
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  const std::size_t count = 1 + p->column->more.size();
  if (p->next >= count) {
    std::memset(out, 0, sizeof *out);  // release == nullptr: the end
    return 0;
  }
  try {
    export_array(p->next == 0 ? p->column : p->column->more[p->next - 1], out);
  } catch (const std::bad_alloc&) {
    p->last_error = "out of memory";
    return ENOMEM;
  }
  ++p->next;
  return 0;
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  auto* p = static_cast<StreamPrivate*>(stream->private_data);
  return p->last_error.empty() ? nullptr : p->last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (!stream->release) return;
  delete static_cast<StreamPrivate*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

const char* format_of(const BuiltColumn& column, bool text) noexcept {
  if (column.kind == BuiltColumn::Kind::Int32) return "i";
  if (text) return column.large ? "U" : "u";
  return column.large ? "Z" : "z";
}

void export_array(std::shared_ptr<const BuiltColumn> column, ArrowArray* out) {
  auto* p = new ArrayPrivate{std::move(column), {}};
  const BuiltColumn& c = *p->column;
  p->buffers[0] = c.validity;
  std::int64_t n_buffers;
  if (c.kind == BuiltColumn::Kind::Int32) {
    p->buffers[1] = c.data;
    n_buffers = 2;
  } else {
    p->buffers[1] = c.offsets;
    p->buffers[2] = c.data;
    n_buffers = 3;
  }
  out->length = c.length;
  out->null_count = c.null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = 0;
  out->buffers = p->buffers;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = p;
}

void export_schema(const char* format, std::string_view extension_name,
                   std::string_view extension_metadata, ArrowSchema* out) {
  auto* p = new SchemaPrivate{format, {}};
  if (!extension_name.empty()) {
    // int32 count, then int32-prefixed keys and values.
    append_i32(p->metadata, 2);
    append_i32(p->metadata, EXTENSION_NAME_KEY.size());
    p->metadata += EXTENSION_NAME_KEY;
    append_i32(p->metadata, extension_name.size());
    p->metadata += extension_name;
    append_i32(p->metadata, EXTENSION_METADATA_KEY.size());
    p->metadata += EXTENSION_METADATA_KEY;
    append_i32(p->metadata, extension_metadata.size());
    p->metadata += extension_metadata;
  }
  out->format = p->format.c_str();
  out->name = "";
  out->metadata = p->metadata.empty() ? nullptr : p->metadata.data();
  out->flags = ARROW_FLAG_NULLABLE;
  out->n_children = 0;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = p;
}

void export_stream(std::shared_ptr<const BuiltColumn> column, std::string format,
                   std::string extension_name, std::string extension_metadata,
                   ArrowArrayStream* out) {
  out->private_data = new StreamPrivate{std::move(column), std::move(format),
                                        std::move(extension_name),
                                        std::move(extension_metadata), 0, {}};
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
}

}  // namespace geoweave::columns
