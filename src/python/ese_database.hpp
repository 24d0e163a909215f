// The EseDatabase Python type: an open Database plus the path it was opened from.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "../database.hpp"

namespace pw::py {

// The database is shared with the Table objects and row iterators made from it: close() drops this object's
// share, and the mapping goes with the last one. Shares are only ever dropped with the GIL held (a buffer
// source releases its Python buffer then).
using SharedDatabase = std::shared_ptr<const Database>;

struct PyEseDatabase {
  PyObject ob_base;          // what PyObject_HEAD declares
  SharedDatabase* database;  // nullptr once closed
  PyObject* path;            // the str the database was opened from ("<buffer>" for a buffer)
  PyObject* logs;            // the LogSet given with logs=, or nullptr
};

// Creates the type object (a heap type is not needed: one static type per process).
PyTypeObject* ese_database_type();

// The open database of an EseDatabase, or nullptr with ValueError set when it is closed.
const Database* open_db(PyObject* self);
SharedDatabase shared_db(PyObject* self);

// Argument conversion shared by the methods; each sets a TypeError naming the argument on failure.
bool arg_as_utf8(PyObject* obj, const char* func, const char* arg, std::string& out);
bool arg_as_u64(PyObject* obj, const char* func, const char* arg, std::uint64_t& out);
bool arg_as_optional_utf8(PyObject* obj, const char* func, const char* arg, std::optional<std::string>& out);

// Table and column names cross to Python with "surrogateescape": valid UTF-8 is decoded as it is and every
// byte that is not part of a well-formed sequence becomes the lone surrogate U+DC80..U+DCFF, so distinct raw
// names give distinct strs and a listed name finds its table again.
PyObject* name_to_str(const std::string& name_bytes);
// A name argument: must be a str; encoded back to raw bytes with "surrogateescape".
bool arg_as_name(PyObject* obj, const char* func, const char* arg, std::string& out);

// Methods (bodies in table_methods.cpp, export_methods.cpp, carve_methods.cpp).
PyObject* ese_get_tables(PyObject* self, PyObject* unused);
PyObject* ese_read_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_scan_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_get_table_schema(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_export_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_export_all(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_export_rows(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_carve_utf16le_strings(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_carve_utf16le_strings_scoped(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_recover_records(PyObject* self, PyObject* args, PyObject* kwargs);  // recover_methods.cpp
// Page checksums (verify_methods.cpp): the method, pagewright.verify_file, and the header's page_repairs.
PyObject* ese_verify_pages(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* module_verify_file(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* page_repairs_list(const Database& db);
// Transaction logs (log_methods.cpp): log_records(), log_coverage(), the logs property, Table.log_changes().
PyObject* ese_log_records(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_log_coverage(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_get_logs(PyObject* self, void*);
PyObject* table_log_changes(PyObject* self, PyObject* args, PyObject* kwargs);

// Table objects and row iterators (table_object.cpp).
PyObject* ese_table(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ese_tables(PyObject* self, PyObject* unused);
int ready_table_types();
PyObject* column_type_object();
PyObject* index_type_object();

// The file header as a dict (header.cpp); a signature as {random, created, computer_name} (None when unset);
// a log time as an aware datetime in UTC (None when unset; the raw fields when no datetime can hold them).
PyObject* header_dict(const FileHeader& header);
PyObject* signature_dict(const LogSignature& signature);
PyObject* log_time_object(const std::optional<LogTime>& time);
PyObject* log_position(const LogPosition& position);  // {generation, sector, block}

// Module-level functions (bodies in export_methods.cpp); the table ends with a null entry.
PyMethodDef* module_functions();

}  // namespace pw::py
