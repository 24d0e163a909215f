// carve_utf16le_strings, carve_utf16le_strings_scoped: carving hits as a list (CarvedHits) of dicts.
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "carve_methods.hpp"

#include "../carve/scoped_carver.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace pw::py {
namespace {

// Dict keys of a hit, in insertion order.
enum HitKey : std::size_t { kPage, kOffset, kSlackStart, kSlackEnd, kRegionKind, kPageFlags, kPageType, kTable, kText };
constexpr std::array<const char*, 9> kHitKeyNames = {
    "page", "offset", "slack_start", "slack_end", "region_kind", "page_flags", "page_type", "table", "text"};

// The region and page-type words a hit can carry; each becomes one shared str.
constexpr std::array<std::string_view, 8> kWords = {"slack",      "all",   "tag_data", "long_value",
                                                    "space_tree", "index", "leaf",     "branch"};

// Interned strs created on first use and kept for the life of the process.
struct HitStrings {
  std::array<PyObject*, kHitKeyNames.size()> keys{};
  std::array<PyObject*, kWords.size()> words{};
};

const HitStrings* hit_strings() {
  static HitStrings strings;
  static bool ready = false;
  if (ready) return &strings;
  for (std::size_t i = 0; i < kHitKeyNames.size(); ++i) {
    if (!strings.keys[i] && !(strings.keys[i] = PyUnicode_InternFromString(kHitKeyNames[i]))) return nullptr;
  }
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    if (!strings.words[i]) {
      strings.words[i] = PyUnicode_FromStringAndSize(kWords[i].data(), static_cast<Py_ssize_t>(kWords[i].size()));
      if (!strings.words[i]) return nullptr;
      PyUnicode_InternInPlace(&strings.words[i]);
    }
  }
  ready = true;
  return &strings;
}

// A new reference to the str of a region or page-type word.
PyObject* word_str(const HitStrings& strings, const std::string& word) {
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    if (word == kWords[i]) {
      Py_INCREF(strings.words[i]);
      return strings.words[i];
    }
  }
  return PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size()));
}

// A carved text of the ASCII scan is printable ASCII: build the compact str directly.
PyObject* ascii_str(const std::string& text) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (s && !text.empty()) std::memcpy(PyUnicode_1BYTE_DATA(s), text.data(), text.size());
  return s;
}

PyObject* text_str(const std::string& text, bool any_script) {
  if (!any_script) return ascii_str(text);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* hits_to_list(const std::vector<CarvedString>& hits, bool any_script) {
  const HitStrings* strings = hit_strings();
  if (!strings) return nullptr;
  PyRef list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  // Hits of one table share its name: one str per table, reused by every hit dict.
  std::unordered_map<const std::string*, PyRef> table_strs;
  Py_ssize_t index = 0;
  for (const CarvedString& hit : hits) {
    std::array<PyRef, kHitKeyNames.size()> values;
    values[kPage] = PyRef(PyLong_FromUnsignedLong(hit.page));
    values[kOffset] = PyRef(PyLong_FromUnsignedLongLong(hit.offset));
    values[kSlackStart] = PyRef(PyLong_FromUnsignedLongLong(hit.slack_start));
    values[kSlackEnd] = PyRef(PyLong_FromUnsignedLongLong(hit.slack_end));
    values[kRegionKind] = PyRef(word_str(*strings, hit.region_kind));
    values[kPageFlags] = PyRef(PyLong_FromUnsignedLong(hit.page_flags));
    values[kPageType] = PyRef(word_str(*strings, hit.page_type));
    if (hit.table) {
      PyRef& table_str = table_strs[hit.table.get()];
      if (!table_str && !(table_str = PyRef(name_to_str(*hit.table)))) return nullptr;
      Py_INCREF(table_str.get());
      values[kTable] = PyRef(table_str.get());
    } else {
      Py_INCREF(Py_None);
      values[kTable] = PyRef(Py_None);
    }
    values[kText] = PyRef(text_str(hit.text, any_script));
    PyRef dict(_PyDict_NewPresized(static_cast<Py_ssize_t>(kHitKeyNames.size())));
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (!values[k] || PyDict_SetItem(dict.get(), strings->keys[k], values[k].get()) < 0) return nullptr;
    }
    PyList_SET_ITEM(list.get(), index++, dict.release());
  }
  return list.release();
}

// The result list, of the CarvedHits class.
PyObject* carved_hits(const CarveResult& result, bool any_script) {
  PyObject* cls = carved_hits_type();
  if (!cls) return nullptr;
  PyRef list(hits_to_list(result.hits, any_script));
  if (!list) return nullptr;
  PyRef out(PyObject_CallOneArg(cls, list.get()));
  if (!out || PyObject_SetAttrString(out.get(), "stopped_at_max_hits",
                                     result.stopped_at_max_hits ? Py_True : Py_False) < 0)
    return nullptr;
  return out.release();
}

// A keyword argument that is one of two words: `out` is set when it is the second (left as it is when omitted).
bool word_choice(PyObject* obj, const char* func, const char* arg, const char* first, const char* second, bool& out) {
  if (!obj) return true;
  std::string word;
  if (!arg_as_utf8(obj, func, arg, word)) return false;
  if (word != first && word != second) {
    PyErr_Format(PyExc_ValueError, "Invalid %s: %U (expected: %s, %s)", arg, obj, first, second);
    return false;
  }
  out = word == second;
  return true;
}

// script= and owners=: the keyword-only choices beside the carving arguments.
bool carve_options(PyObject* script_obj, PyObject* owners_obj, const char* func, CarveOptions& options) {
  return word_choice(script_obj, func, "script", "ascii", "any", options.any_script) &&
         word_choice(owners_obj, func, "owners", "leaf", "tree", options.tree_owners);
}

// Converts needle, min_chars and max_hits (in that order); omitted ones keep their defaults.
bool convert_limits(PyObject* needle_obj, PyObject* min_obj, PyObject* max_obj, const char* func,
                    std::optional<std::string>& needle, std::uint64_t& min_chars, std::uint64_t& max_hits) {
  if (!arg_as_optional_utf8(needle_obj, func, "needle", needle)) return false;
  if (min_obj && !arg_as_u64(min_obj, func, "min_chars", min_chars)) return false;
  if (max_obj && !arg_as_u64(max_obj, func, "max_hits", max_hits)) return false;
  return true;
}

// Hits found after the file failed to read may come from zeros read in place of its bytes: an error instead.
PyObject* raise_source_error(const EseError& error) {
  return raise_os_error("Error reading database: " + error.to_string());
}

constexpr std::uint64_t kDefaultMinChars = 6;
constexpr std::uint64_t kDefaultMaxHits = 1000;

}  // namespace

PyObject* carved_hits_type() {
  static PyObject* cls = nullptr;
  if (!cls) {
    cls = PyObject_CallFunction(
        reinterpret_cast<PyObject*>(&PyType_Type), "s(O){s:s,s:s,s:(s)}", "CarvedHits", &PyList_Type, "__module__",
        "pagewright", "__doc__",
        "The hits of a carving call, as a list. stopped_at_max_hits: True when the scan stopped at max_hits "
        "with more strings left to find, False when every page was scanned.",
        "__slots__", "stopped_at_max_hits");
  }
  return cls;
}

PyObject* ese_carve_utf16le_strings(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"needle", "min_chars", "max_hits", "script", "owners", nullptr};
    const char* func = "carve_utf16le_strings";
    PyObject* needle_obj = nullptr;
    PyObject* min_obj = nullptr;
    PyObject* max_obj = nullptr;
    PyObject* script_obj = nullptr;
    PyObject* owners_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO$OO:carve_utf16le_strings", const_cast<char**>(kwlist),
                                     &needle_obj, &min_obj, &max_obj, &script_obj, &owners_obj)) {
      return nullptr;
    }
    std::optional<std::string> needle;
    std::uint64_t min_chars = kDefaultMinChars;
    std::uint64_t max_hits = kDefaultMaxHits;
    CarveOptions options;
    if (!convert_limits(needle_obj, min_obj, max_obj, func, needle, min_chars, max_hits)) return nullptr;
    if (!carve_options(script_obj, owners_obj, func, options)) return nullptr;
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const auto result =
        without_gil([&] { return carve_scoped(*db, CarveScope::Slack, needle, min_chars, max_hits, options); });
    if (auto read = db->source_status(); !read) return raise_source_error(read.error());
    return carved_hits(result, options.any_script);
  });
}

PyObject* ese_carve_utf16le_strings_scoped(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"scope", "needle", "min_chars", "max_hits", "script", "owners", nullptr};
    const char* func = "carve_utf16le_strings_scoped";
    PyObject* scope_obj = nullptr;
    PyObject* needle_obj = nullptr;
    PyObject* min_obj = nullptr;
    PyObject* max_obj = nullptr;
    PyObject* script_obj = nullptr;
    PyObject* owners_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO$OO:carve_utf16le_strings_scoped",
                                     const_cast<char**>(kwlist), &scope_obj, &needle_obj, &min_obj, &max_obj,
                                     &script_obj, &owners_obj)) {
      return nullptr;
    }
    std::string scope_word;
    if (!arg_as_utf8(scope_obj, func, "scope", scope_word)) return nullptr;
    std::optional<std::string> needle;
    std::uint64_t min_chars = kDefaultMinChars;
    std::uint64_t max_hits = kDefaultMaxHits;
    CarveOptions options;
    if (!convert_limits(needle_obj, min_obj, max_obj, func, needle, min_chars, max_hits)) return nullptr;
    if (!carve_options(script_obj, owners_obj, func, options)) return nullptr;
    const auto scope = parse_carve_scope(scope_word);
    if (!scope) {
      PyErr_Format(PyExc_ValueError, "Invalid scope: %U (expected: slack, all, tag_data, lv_all, lv_slack)", scope_obj);
      return nullptr;
    }
    const SharedDatabase db = shared_db(self);
    if (!db) return nullptr;
    const auto result =
        without_gil([&] { return carve_scoped(*db, *scope, needle, min_chars, max_hits, options); });
    if (auto read = db->source_status(); !read) return raise_source_error(read.error());
    return carved_hits(result, options.any_script);
  });
}

}  // namespace pw::py
