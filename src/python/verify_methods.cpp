// verify_pages, pagewright.verify_file and the page repairs of the header: page checksums as dicts. The pages
// are checked without the GIL, a slice at a time, with Ctrl-C honoured between slices.
#include <string>

#include "../checksum/verify.hpp"
#include "../format/file_header.hpp"
#include "../io/mapped_file.hpp"
#include "errors.hpp"
#include "ese_database.hpp"
#include "gil.hpp"
#include "py_ref.hpp"

namespace pw::py {
namespace {

constexpr std::uint32_t kPagesPerSlice = 16384;
constexpr std::size_t kDefaultMaxFailures = 1000;

const char* form_name(ChecksumForm form) { return form == ChecksumForm::Xor ? "xor" : "xor_ecc"; }

// Appends one dict per located bit: its page, byte offset in the page and in the file, bit and block.
bool append_bits(PyObject* list, const PageCheck& check, std::uint32_t pgno, std::uint32_t page_size) {
  for (std::size_t k = 0; k < check.bit_count; ++k) {
    const FlippedBit& bit = check.bits[k];
    const unsigned long long file_offset = (std::uint64_t{pgno} + 1) * page_size + bit.offset;
    PyRef item(Py_BuildValue("{s:k,s:I,s:i,s:i,s:K}", "page", static_cast<unsigned long>(pgno), "offset",
                             bit.offset, "bit", bit.bit, "block", bit.block, "file_offset", file_offset));
    if (!item || PyList_Append(list, item.get()) < 0) return false;
  }
  return true;
}

PyObject* failure_dict(const PageFailure& failure, std::uint32_t page_size) {
  const PageCheck& check = failure.check;
  PyRef page(PyLong_FromUnsignedLong(failure.page));
  PyRef blocks(PyList_New(0));
  if (!page || !blocks) return nullptr;
  for (std::size_t k = 0; k < check.mismatch_count; ++k) {
    const BlockMismatch& m = check.mismatches[k];
    PyRef item(Py_BuildValue("{s:i,s:K,s:K}", "block", m.block, "stored", static_cast<unsigned long long>(m.stored),
                             "computed", static_cast<unsigned long long>(m.computed)));
    if (!item || PyList_Append(blocks.get(), item.get()) < 0) return nullptr;
  }
  PyRef bits(PyList_New(0));
  PyRef other(check.checksum_of_page ? PyLong_FromUnsignedLong(*check.checksum_of_page) : Py_NewRef(Py_None));
  if (!bits || !other || !append_bits(bits.get(), check, failure.page, page_size)) return nullptr;
  return Py_BuildValue("{s:O,s:s,s:s,s:O,s:O,s:O,s:O}", "page", page.get(), "form", form_name(check.form), "status",
                       check.condition == PageCondition::Correctable ? "correctable" : "mismatch", "blocks",
                       blocks.get(), "bits", bits.get(), "checksum_bit_only",
                       check.checksum_bit_only ? Py_True : Py_False, "checksum_of_page", other.get());
}

PyObject* report_dict(const VerifyReport& r) {
  PyRef failures(PyList_New(0));
  for (std::size_t k = 0; failures && k < r.failures.size(); ++k) {
    PyRef item(failure_dict(r.failures[k], r.page_size));
    if (!item || PyList_Append(failures.get(), item.get()) < 0) return nullptr;
  }
  if (!failures) return nullptr;
  return Py_BuildValue("{s:I,s:K,s:K,s:K,s:K,s:K,s:{s:K,s:K},s:O,s:O,s:O,s:K}", "page_size", r.page_size, "pages",
                       static_cast<unsigned long long>(r.pages), "ok", static_cast<unsigned long long>(r.ok),
                       "uninitialized", static_cast<unsigned long long>(r.uninitialized), "mismatched",
                       static_cast<unsigned long long>(r.mismatched), "correctable",
                       static_cast<unsigned long long>(r.correctable), "forms", "xor",
                       static_cast<unsigned long long>(r.xor_form), "xor_ecc",
                       static_cast<unsigned long long>(r.xor_ecc_form), "header_ok", r.header_ok ? Py_True : Py_False,
                       "shadow_ok", r.shadow_ok ? Py_True : Py_False, "failures", failures.get(), "failures_omitted",
                       static_cast<unsigned long long>(r.failures_omitted));
}

// Every page of `file`, a slice at a time without the GIL; the caller keeps `file` alive. `failed()` says whether
// reading the file failed meanwhile (a file that shrank reads as zeros: pages that would verify as never written).
template <class Failed>
PyObject* verify_file_bytes(Bytes file, std::uint32_t page_size, std::size_t max_failures, Failed failed) {
  VerifyReport report = begin_verify(file, page_size);
  const std::uint32_t pages = file_page_count(file, page_size);
  for (std::uint64_t first = 1; first <= pages; first += kPagesPerSlice) {
    without_gil([&] { verify_pages(file, static_cast<std::uint32_t>(first), kPagesPerSlice, max_failures, report); });
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  if (failed()) return raise_os_error("Error reading database: the file shrank or could not be read while open");
  return report_dict(report);
}

bool max_failures_arg(PyObject* obj, const char* func, std::size_t& out) {
  out = kDefaultMaxFailures;
  if (!obj || obj == Py_None) return true;
  std::uint64_t value = 0;
  if (!arg_as_u64(obj, func, "max_failures", value)) return false;
  out = static_cast<std::size_t>(value);
  return true;
}

}  // namespace

PyObject* ese_verify_pages(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"max_failures", nullptr};
    PyObject* max_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:verify_pages", const_cast<char**>(kwlist), &max_obj))
      return nullptr;
    std::size_t max_failures = 0;
    if (!max_failures_arg(max_obj, "verify_pages", max_failures)) return nullptr;
    const SharedDatabase db = shared_db(self);  // held while the GIL is released
    if (!db) return nullptr;
    return verify_file_bytes(db->file_bytes(), db->page_size(), max_failures, [&] { return db->source_failed(); });
  });
}

PyObject* module_verify_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* kwlist[] = {"path", "page_size", "max_failures", nullptr};
    PyObject* path_bytes = nullptr;  // from PyUnicode_FSConverter
    PyObject *size_obj = nullptr, *max_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$OO:verify_file", const_cast<char**>(kwlist),
                                     PyUnicode_FSConverter, &path_bytes, &size_obj, &max_obj))
      return nullptr;
    PyRef owned(path_bytes);
    std::size_t max_failures = 0;
    if (!max_failures_arg(max_obj, "verify_file", max_failures)) return nullptr;
    const std::string path(PyBytes_AS_STRING(path_bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(path_bytes)));
    auto source = without_gil([&] { return open_file_source(path); });
    if (!source) return raise_os_error(path + ": " + source.error().to_string());
    const Bytes file = (*source)->bytes();
    std::uint64_t page_size = 0;
    if (size_obj && size_obj != Py_None) {
      if (!arg_as_u64(size_obj, "verify_file", "page_size", page_size)) return nullptr;
    } else if (file.size() >= file_header::kChecksummedEnd) {
      page_size = parse_file_header(choose_header(file).bytes).value_or(FileHeader{}).page_size;
    }
    if (page_size > UINT32_MAX || checksum_block_size(static_cast<std::uint32_t>(page_size)) == 0) {
      PyErr_Format(PyExc_ValueError, "%s: no page checksums are known for a page size of %llu bytes%s", path.c_str(),
                   static_cast<unsigned long long>(page_size),
                   size_obj && size_obj != Py_None ? "" : " (from the file header; give page_size=)");
      return nullptr;
    }
    const std::atomic<bool>& read_failed = (*source)->read_failed();
    return verify_file_bytes(file, static_cast<std::uint32_t>(page_size), max_failures,
                             [&] { return read_failed.load(std::memory_order_acquire); });
  });
}

PyObject* page_repairs_list(const Database& db) {
  if (!db.repairs_ecc()) Py_RETURN_NONE;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const PageRepair& repair : db.page_repairs()) {
    if (!append_bits(list.get(), repair.check, repair.page, db.page_size())) return nullptr;
  }
  return list.release();
}

}  // namespace pw::py
