// What the quillmap Python module's types share: the exception types, how a Python argument becomes
// the text the wire carries, and small owners of Python references.
//
// Keys and values are UTF-8 text without zero bytes, as the daemon's wire carries them: a `str`, or
// `bytes` (any object with the buffer interface) holding well-formed UTF-8. Anything else raises
// TypeError or ValueError with a message that names the argument. The reader returns `bytes`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>

#include "client/reader/quillmap_reader.hpp"

namespace quillmap::py {

// quillmap.Error (every failure the library reports; its `code` attribute holds the reader's
// result code, or None) and quillmap.NotRunningError (a subclass: no daemon to talk to or to read).
extern PyObject* error_type;
extern PyObject* not_running_type;

// Creates the exception types and adds them to `module`; false with a Python error set.
bool add_exception_types(PyObject* module);

// Raises quillmap.Error (NotRunningError for "no segment") with "WHAT: <the reader's text>" and
// `code`; returns nullptr for the caller to return.
PyObject* raise_read_status(ReadStatus status, std::string_view what);

// Raises `type` with `text` and code None; returns nullptr.
PyObject* raise_error(PyObject* type, const std::string& text);

// `obj` as wire text into `out`; false with TypeError or ValueError set ("key must be ...").
bool wire_text(PyObject* obj, const char* what, std::string* out);

// A new reference released at scope end.
class Ref {
 public:
  explicit Ref(PyObject* o = nullptr) noexcept : o_(o) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }
  PyObject* get() const noexcept { return o_; }
  PyObject* release() noexcept {
    PyObject* o = o_;
    o_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return o_ != nullptr; }

 private:
  PyObject* o_;
};

// Readies a static, zero-initialised type object and adds it to `module` as `name`; the module keeps
// the type's one reference for good.
bool add_static_type(PyTypeObject* type, PyObject* module, const char* name);

// Type registration of the module's parts; each returns false with a Python error set.
bool add_reader_types(PyObject* module);
bool add_client_types(PyObject* module);

}  // namespace quillmap::py
