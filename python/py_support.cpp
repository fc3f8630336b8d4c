#include "python/py_support.h"

#include "client/text_encoding.h"

namespace quillmap::py {

PyObject* error_type = nullptr;
PyObject* not_running_type = nullptr;

bool add_exception_types(PyObject* module) {
  error_type = PyErr_NewExceptionWithDoc("quillmap.Error",
                                         "A failure the quillmap library reports; `code` is the reader's result "
                                         "code, or None.",
                                         nullptr, nullptr);
  if (!error_type) return false;
  not_running_type = PyErr_NewExceptionWithDoc("quillmap.NotRunningError",
                                               "The daemon is not running: no socket to talk to or no segment "
                                               "to read.",
                                               error_type, nullptr);
  if (!not_running_type) return false;
  Py_INCREF(error_type);
  Py_INCREF(not_running_type);
  return PyModule_AddObject(module, "Error", error_type) == 0 &&
         PyModule_AddObject(module, "NotRunningError", not_running_type) == 0;
}

namespace {

PyObject* raise_with_code(PyObject* type, const std::string& text, PyObject* code) {
  Ref exc(PyObject_CallFunction(type, "s#", text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!exc) return nullptr;
  if (PyObject_SetAttrString(exc.get(), "code", code) != 0) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

}  // namespace

PyObject* raise_error(PyObject* type, const std::string& text) { return raise_with_code(type, text, Py_None); }

PyObject* raise_read_status(ReadStatus status, std::string_view what) {
  Ref code(PyLong_FromLong(static_cast<long>(status)));
  if (!code) return nullptr;
  std::string text = std::string(what) + ": " + read_status_text(status);
  return raise_with_code(status == ReadStatus::kNoSegment ? not_running_type : error_type, text, code.get());
}

bool wire_text(PyObject* obj, const char* what, std::string* out) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) {
      // Lone surrogates have no UTF-8 form.
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "%s is not valid UTF-8 text (it holds a lone surrogate)", what);
      return false;
    }
    out->assign(s, static_cast<size_t>(n));
  } else if (PyObject_CheckBuffer(obj)) {
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_SIMPLE) != 0) return false;
    out->assign(static_cast<const char*>(view.buf), static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    if (!is_valid_utf8(*out)) {
      PyErr_Format(PyExc_ValueError, "%s is not valid UTF-8 text; the daemon takes text only", what);
      return false;
    }
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be str or bytes, not %.100s", what, Py_TYPE(obj)->tp_name);
    return false;
  }
  if (out->find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "%s holds a zero byte; the daemon would cut it there", what);
    return false;
  }
  return true;
}

bool add_static_type(PyTypeObject* type, PyObject* module, const char* name) {
  Py_SET_REFCNT(type, 1);
  if (PyType_Ready(type) != 0) return false;
  Py_INCREF(type);
  return PyModule_AddObject(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace quillmap::py
