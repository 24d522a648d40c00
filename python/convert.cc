#include "python/convert.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>

#include "python/errors.h"

namespace kestrine::py {
namespace {

// Interned key strings, made once for the dict look-ups below.
PyObject* key(const char* text) { return PyUnicode_InternFromString(text); }

struct Keys {
  PyObject* text = key("text");
  PyObject* embedding = key("embedding");
  PyObject* metadata = key("metadata");
  PyObject* id = key("id");
  PyObject* must = key("must");
  PyObject* must_not = key("must_not");
  PyObject* should = key("should");
  PyObject* field = key("field");
  PyObject* op = key("op");
  PyObject* value = key("value");
  PyObject* values = key("values");
};

const Keys& keys() {
  static const Keys* k = new Keys();
  return *k;
}

// A value of `dict` as a new reference: null with no exception when the key is absent.
PyRef lookup(PyObject* dict, PyObject* name) {
  return PyRef::borrow(PyDict_GetItemWithError(dict, name));
}

bool float_item(PyObject* item, float* out) {
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  *out = static_cast<float>(value);
  return true;
}

// The item type of a buffer's struct format when it is a single native float32 or float64:
// "f" or "d", optionally after "@", "=" or the explicit byte-order character of this machine.
enum class FloatItem { kOther, kFloat32, kFloat64 };

FloatItem float_item_type(const char* format) {
  if (format == nullptr) return FloatItem::kOther;
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  if (*format == '@' || *format == '=' || *format == kNativeOrder) ++format;
  if (format[0] == '\0' || format[1] != '\0') return FloatItem::kOther;
  if (format[0] == 'f') return FloatItem::kFloat32;
  if (format[0] == 'd') return FloatItem::kFloat64;
  return FloatItem::kOther;
}

// A buffer view held for the duration of a scope.
class HeldBuffer {
 public:
  // Requests strides and format, which every exporter can give, and leaves the checks of
  // shape and layout to the caller. Clears the exporter's error when it refuses.
  explicit HeldBuffer(PyObject* object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0;
    if (!held_) PyErr_Clear();
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool held() const { return held_; }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_;
  bool held_;
};

// Copies `count` float32 or float64 items from `bytes` as 32-bit floats: float64 is narrowed by
// the cast a Python float would get, float32 is taken as it is except that a signalling NaN is
// quietened, as the round trip through a Python float does.
void copy_float_items(const unsigned char* bytes, FloatItem item, size_t count, float* out) {
  if (count == 0) return;
  if (item == FloatItem::kFloat32) {
    std::memcpy(out, bytes, count * sizeof(float));
    for (size_t i = 0; i < count; ++i) {
      // Sets the quiet bit of a NaN, which only changes a signalling one.
      auto bits = std::bit_cast<uint32_t>(out[i]);
      bits |= static_cast<uint32_t>((bits & 0x7fffffffu) > 0x7f800000u) << 22;
      out[i] = std::bit_cast<float>(bits);
    }
  } else {
    // memcpy per item: the exporter's memory need not be aligned for double.
    for (size_t i = 0; i < count; ++i) {
      double value;
      std::memcpy(&value, bytes + 8 * i, 8);
      out[i] = static_cast<float>(value);
    }
  }
}

// Copies a 1-D, C-contiguous buffer of native float32 or float64 items without a Python call
// per element. False (and no exception) when the object exports no such buffer: it then goes
// through the sequence path, which is what defines the errors. The values stored are the ones
// the sequence path would store for the same numbers: float64 is narrowed by the same cast, and
// float32 is taken as it is except that a signalling NaN is quietened, as the round trip
// through a Python float does.
bool read_float_buffer(PyObject* object, std::vector<float>* out) {
  if (!PyObject_CheckBuffer(object)) return false;
  HeldBuffer buffer(object);
  if (!buffer.held()) return false;
  const Py_buffer& view = buffer.view();
  const FloatItem item = float_item_type(view.format);
  const Py_ssize_t item_size = item == FloatItem::kFloat32 ? 4 : 8;
  if (item == FloatItem::kOther || view.itemsize != item_size || view.ndim != 1 ||
      view.shape == nullptr || view.suboffsets != nullptr ||
      view.len != view.shape[0] * item_size || !PyBuffer_IsContiguous(&view, 'C')) {
    return false;
  }
  const size_t count = static_cast<size_t>(view.shape[0]);
  out->resize(count);
  copy_float_items(static_cast<const unsigned char*>(view.buf), item, count, out->data());
  return true;
}

// The rows of a 2-D, C-contiguous buffer of native float32 or float64 items, each copied as
// read_float_buffer copies a 1-D one. False (and no exception) for any other object.
bool read_float_rows(PyObject* object, std::vector<std::vector<float>>* out) {
  if (!PyObject_CheckBuffer(object)) return false;
  HeldBuffer buffer(object);
  if (!buffer.held()) return false;
  const Py_buffer& view = buffer.view();
  const FloatItem item = float_item_type(view.format);
  const Py_ssize_t item_size = item == FloatItem::kFloat32 ? 4 : 8;
  if (item == FloatItem::kOther || view.itemsize != item_size || view.ndim != 2 ||
      view.shape == nullptr || view.suboffsets != nullptr ||
      view.len != view.shape[0] * view.shape[1] * item_size || !PyBuffer_IsContiguous(&view, 'C')) {
    return false;
  }
  const auto rows = static_cast<size_t>(view.shape[0]);
  const auto columns = static_cast<size_t>(view.shape[1]);
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  out->assign(rows, std::vector<float>(columns));
  for (size_t row = 0; row < rows; ++row) {
    copy_float_items(bytes + row * columns * static_cast<size_t>(item_size), item, columns,
                     (*out)[row].data());
  }
  return true;
}

bool parse_filter(PyObject* object, int depth, Filter* out);

// 1 when the dict holds one of a filter's lists, 0 when not, -1 with an exception set.
int holds_filter_list(PyObject* dict) {
  for (PyObject* name : {keys().must, keys().must_not, keys().should}) {
    const int found = PyDict_Contains(dict, name);
    if (found != 0) return found;
  }
  return 0;
}

// An element of a filter's list at nesting `depth` (the top-level filter's elements are at 0):
// a condition on a field, or, when it has no "field" but one of the lists, a nested filter.
bool parse_condition(PyObject* object, int depth, FilterCondition* out) {
  if (!PyDict_Check(object)) return raise_type_mismatch(object, "PyDict");
  PyRef field = lookup(object, keys().field);
  if (!field) {
    if (PyErr_Occurred()) return false;
    const int nested = holds_filter_list(object);
    if (nested < 0) return false;
    if (nested == 0) {
      PyErr_SetString(PyExc_ValueError, "filter condition missing 'field'");
      return false;
    }
    if (depth >= kMaxFilterDepth) {
      PyErr_Format(PyExc_ValueError, "filter nested deeper than %d levels", kMaxFilterDepth);
      return false;
    }
    auto filter = std::make_shared<Filter>();
    if (!parse_filter(object, depth + 1, filter.get())) return false;
    out->nested = std::move(filter);
    return true;
  }
  if (!to_text(field.get(), &out->field)) return false;

  PyRef op = lookup(object, keys().op);
  if (!op) {
    if (PyErr_Occurred()) return false;
    PyErr_SetString(PyExc_ValueError, "filter condition missing 'op'");
    return false;
  }
  std::string op_text;
  if (!to_text(op.get(), &op_text)) return false;
  static constexpr std::pair<std::string_view, FilterOp> kOps[] = {
      {"eq", FilterOp::kEq}, {"ne", FilterOp::kNe},        {"gt", FilterOp::kGt},
      {"lt", FilterOp::kLt}, {"gte", FilterOp::kGte},      {"lte", FilterOp::kLte},
      {"in", FilterOp::kIn}, {"exists", FilterOp::kExists}};
  auto found = std::find_if(std::begin(kOps), std::end(kOps),
                            [&](const auto& entry) { return entry.first == op_text; });
  if (found == std::end(kOps)) {
    PyRef message(PyUnicode_FromFormat("unknown filter operator: '%U'", op.get()));
    if (message) PyErr_SetObject(PyExc_ValueError, message.get());
    return false;
  }
  out->op = found->second;

  PyRef value = lookup(object, keys().value);
  if (out->op == FilterOp::kExists) {
    if (!value || !PyBool_Check(value.get())) {
      if (PyErr_Occurred()) return false;
      PyErr_Format(PyExc_ValueError,
                   "filter operator 'exists' on field '%U' needs a value of True or False",
                   field.get());
      return false;
    }
    out->value = FilterValue{value.get() == Py_True};
    return true;
  }
  if (value) {
    FilterValue v;
    if (!to_filter_value(value.get(), &v)) return false;
    out->value = std::move(v);
  } else if (PyErr_Occurred()) {
    return false;
  }

  PyRef values = lookup(object, keys().values);
  if (values) {
    if (!PyList_Check(values.get())) return raise_type_mismatch(values.get(), "PyList");
    std::vector<FilterValue> list;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(values.get(), i));
      FilterValue v;
      if (!to_filter_value(item.get(), &v)) return false;
      list.push_back(std::move(v));
    }
    out->values = std::move(list);
  } else if (PyErr_Occurred()) {
    return false;
  }
  return true;
}

bool parse_conditions(PyObject* filter, PyObject* name, int depth,
                      std::vector<FilterCondition>* out) {
  PyRef list = lookup(filter, name);
  if (!list) return !PyErr_Occurred();
  if (!PyList_Check(list.get())) {
    // "must" and "must_not" keep the type error they have always given.
    if (name != keys().should) return raise_type_mismatch(list.get(), "PyList");
    PyErr_SetString(PyExc_ValueError, "filter 'should' must be a list of conditions");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list.get(), i));
    FilterCondition condition;
    if (!parse_condition(item.get(), depth, &condition)) return false;
    out->push_back(std::move(condition));
  }
  return true;
}

// A filter dict at nesting `depth`; keys other than its three lists are ignored.
bool parse_filter(PyObject* object, int depth, Filter* out) {
  return parse_conditions(object, keys().must, depth, &out->must) &&
         parse_conditions(object, keys().must_not, depth, &out->must_not) &&
         parse_conditions(object, keys().should, depth, &out->should);
}

PyObject* metadata_value_to_python(const MetadataValue& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, bool>) {
          return PyBool_FromLong(v);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<T, double>) {
          return PyFloat_FromDouble(v);
        } else {
          return text_to_str(v);
        }
      },
      value);
}

}  // namespace

bool to_text(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) return raise_type_mismatch(object, "PyString");
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool to_size(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  size_t value = PyLong_AsSize_t(index.get());
  if (value == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_thread_count(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || value < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be 0 (one per core) or a positive count");
    return false;
  }
  *out = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(value);
  return true;
}

bool to_ef_search(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && value < 1)) {
    PyErr_SetString(PyExc_ValueError, "ef_search must be a positive integer");
    return false;
  }
  *out = overflow > 0 ? UINT64_MAX : static_cast<uint64_t>(value);
  return true;
}

bool to_bool(PyObject* object, bool* out) {
  if (!PyBool_Check(object)) return raise_type_mismatch(object, "PyBool");
  *out = object == Py_True;
  return true;
}

bool to_float32(PyObject* object, float* out) {
  double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = static_cast<float>(value);
  return true;
}

bool to_embedding(PyObject* object, std::vector<float>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return raise_type_mismatch(object, "Sequence");
  out->clear();
  if (read_float_buffer(object, out)) return true;
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Element conversions may run Python code that resizes a list, so its size is re-read.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
      PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(object, i));
      float value;
      if (!float_item(item.get(), &value)) return false;
      out->push_back(value);
    }
    return true;
  }
  Py_ssize_t hint = PyObject_LengthHint(object, 0);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out->reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 1 << 20)));
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    float value;
    if (!float_item(item.get(), &value)) return false;
    out->push_back(value);
  }
  return !PyErr_Occurred();
}

bool to_embedding_rows(PyObject* object, std::vector<std::vector<float>>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return raise_type_mismatch(object, "Sequence");
  out->clear();
  if (read_float_rows(object, out)) return true;
  PyRef rows(PySequence_Fast(object, "expected a sequence of embeddings"));
  if (!rows) return false;
  // A list's own items are read afresh each time, in case a conversion resizes it.
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(rows.get()); ++i) {
    PyRef row = PyRef::borrow(PySequence_Fast_GET_ITEM(rows.get(), i));
    std::vector<float> embedding;
    if (!to_embedding(row.get(), &embedding)) return false;
    out->push_back(std::move(embedding));
  }
  return true;
}

bool to_text_list(PyObject* object, std::vector<std::string>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) return raise_type_mismatch(object, "Sequence");
  PyRef items(PySequence_Fast(object, "expected a sequence of str"));
  if (!items) return false;
  out->clear();
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyRef item = PyRef::borrow(PySequence_Fast_GET_ITEM(items.get(), i));
    std::string text;
    if (!to_text(item.get(), &text)) return false;
    out->push_back(std::move(text));
  }
  return true;
}

bool to_metadata(PyObject* dict, Metadata* out) {
  PyObject *name, *value;
  Py_ssize_t position = 0;
  while (PyDict_Next(dict, &position, &name, &value)) {
    std::string key_text;
    if (!to_text(name, &key_text)) return false;
    MetadataValue converted;
    if (PyBool_Check(value)) {
      converted = value == Py_True;
    } else if (PyLong_Check(value)) {
      long long v = PyLong_AsLongLong(value);
      if (v == -1 && PyErr_Occurred()) return false;
      converted = static_cast<int64_t>(v);
    } else if (PyFloat_Check(value)) {
      converted = PyFloat_AS_DOUBLE(value);
    } else if (PyUnicode_Check(value)) {
      std::string text;
      if (!to_text(value, &text)) return false;
      converted = std::move(text);
    } else {
      PyErr_SetString(PyExc_ValueError, "metadata values must be bool, int, float, or str");
      return false;
    }
    out->insert_or_assign(std::move(key_text), std::move(converted));
  }
  return true;
}

bool to_uuid(std::string_view text, Uuid* out) {
  auto parsed = parse_uuid(text);
  if (!parsed) {
    std::string message = "invalid UUID: " + parsed.error().message();
    PyRef str(PyUnicode_DecodeUTF8(message.data(), message.size(), "replace"));
    if (str) PyErr_SetObject(PyExc_ValueError, str.get());
    return false;
  }
  *out = *parsed;
  return true;
}

bool to_new_document(PyObject* object, NewDocument* out) {
  if (!PyDict_Check(object)) return raise_type_mismatch(object, "PyDict");
  auto document = std::make_shared<Document>();

  PyRef text = lookup(object, keys().text);
  if (!text) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "document missing 'text'");
    return false;
  }
  if (!to_text(text.get(), &document->text)) return false;

  PyRef embedding = lookup(object, keys().embedding);
  if (!embedding) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "document missing 'embedding'");
    return false;
  }
  if (!to_embedding(embedding.get(), &out->embedding)) return false;

  PyRef metadata = lookup(object, keys().metadata);
  if (metadata) {
    if (!PyDict_Check(metadata.get())) return raise_type_mismatch(metadata.get(), "PyDict");
    if (!to_metadata(metadata.get(), &document->metadata)) return false;
  } else if (PyErr_Occurred()) {
    return false;
  }

  PyRef id = lookup(object, keys().id);
  if (id) {
    if (!to_text(id.get(), &out->id_text)) return false;
    if (!to_uuid(out->id_text, &document->id)) return false;
  } else if (PyErr_Occurred()) {
    return false;
  }
  out->document = std::move(document);
  return true;
}

bool to_filter(PyObject* object, Filter* out) {
  if (!PyDict_Check(object)) return raise_type_mismatch(object, "PyDict");
  return parse_filter(object, 0, out);
}

bool to_filter_value(PyObject* object, FilterValue* out) {
  if (object == Py_None) {
    *out = std::monostate{};
  } else if (PyBool_Check(object)) {
    *out = object == Py_True;
  } else if (PyLong_Check(object)) {
    long long v = PyLong_AsLongLong(object);
    if (v == -1 && PyErr_Occurred()) return false;
    *out = FilterNumber::from_int(v);
  } else if (PyFloat_Check(object)) {
    double v = PyFloat_AS_DOUBLE(object);
    if (std::isfinite(v)) {
      *out = FilterNumber::from_double(v);
    } else {
      *out = std::monostate{};
    }
  } else if (PyUnicode_Check(object)) {
    std::string text;
    if (!to_text(object, &text)) return false;
    *out = std::move(text);
  } else {
    PyErr_SetString(PyExc_ValueError, "filter values must be None, bool, int, float, or str");
    return false;
  }
  return true;
}

PyObject* text_to_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* uuid_to_str(const Uuid& id) {
  // format_uuid's characters, written straight into an ASCII string object: no intermediate
  // string and no decoding.
  static constexpr char kDigits[] = "0123456789abcdef";
  PyObject* out = PyUnicode_New(36, 127);
  if (out == nullptr) return nullptr;
  Py_UCS1* c = PyUnicode_1BYTE_DATA(out);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) *c++ = '-';
    *c++ = static_cast<Py_UCS1>(kDigits[id.bytes[i] >> 4]);
    *c++ = static_cast<Py_UCS1>(kDigits[id.bytes[i] & 0xF]);
  }
  return out;
}

PyObject* metadata_to_dict(const Metadata& metadata) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : metadata) {
    PyRef key_object(text_to_str(name));
    if (!key_object) return nullptr;
    PyRef value_object(metadata_value_to_python(value));
    if (!value_object) return nullptr;
    if (PyDict_SetItem(dict.get(), key_object.get(), value_object.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* document_to_dict(const Document& document) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyRef id(uuid_to_str(document.id));
  PyRef text(id ? text_to_str(document.text) : nullptr);
  PyRef metadata(text ? metadata_to_dict(document.metadata) : nullptr);
  if (!metadata) return nullptr;
  if (PyDict_SetItem(dict.get(), keys().id, id.get()) < 0 ||
      PyDict_SetItem(dict.get(), keys().text, text.get()) < 0 ||
      PyDict_SetItem(dict.get(), keys().metadata, metadata.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

bool to_new_documents(PyObject* list, std::vector<NewDocument>* out) {
  const Py_ssize_t initial_size = PyList_GET_SIZE(list);
  out->reserve(static_cast<size_t>(initial_size));
  for (Py_ssize_t i = 0; i < initial_size && i < PyList_GET_SIZE(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    NewDocument document;
    if (!to_new_document(item.get(), &document)) {
      set_document_index(static_cast<size_t>(i));
      return false;
    }
    out->push_back(std::move(document));
  }
  return true;
}

}  // namespace kestrine::py
