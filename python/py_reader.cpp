// quillmap.Reader, quillmap.ReadSection and quillmap.Entry over the reader library's C++ interface.
//
// A Reader owns one quillmap::Reader handle. Its one-shot calls copy what they find into new bytes
// objects. get_many and match_many run all their lookups in one read section, copy the results and
// confirm with validate() that nothing changed meanwhile; a section that met a change is run again,
// up to the Reader's retry count. A ReadSection (Reader.section(), a context manager) is one
// quillmap::ReadGuard: one read share for many lookups; each of its lookups copies its result and
// validates. The GIL stays held during lookups: they are short, and one handle serves one thread.
#include <memory>
#include <vector>

#include "python/py_support.h"

namespace quillmap::py {
namespace {

PyTypeObject entry_type;

PyStructSequence_Field entry_fields[] = {
    {"key", "the entry's key (bytes)"},
    {"value", "the entry's value (bytes)"},
    {"expires", "expiry in seconds since the epoch; 0 never"},
    {"is_address", "True for an address entry (a prefix)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc entry_desc = {"quillmap.Entry", "One entry of the dictionary.", entry_fields, 4};

PyObject* bytes_of(std::string_view s) {
  return PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* new_entry(std::string_view key, std::string_view value, uint64_t expires, bool is_address) {
  Ref e(PyStructSequence_New(&entry_type));
  if (!e) return nullptr;
  PyObject* items[] = {bytes_of(key), bytes_of(value), PyLong_FromUnsignedLongLong(expires), PyBool_FromLong(is_address)};
  for (int i = 0; i < 4; ++i) {
    if (!items[i]) {
      for (PyObject* o : items) Py_XDECREF(o);
      return nullptr;
    }
    PyStructSequence_SET_ITEM(e.get(), i, items[i]);
  }
  return e.release();
}

PyObject* new_entry(const EntryView& v) { return new_entry(v.key, v.value, v.expires, v.is_address); }

struct ReaderObject {
  PyObject_HEAD
  Reader* reader;
  int entered_sections;  // sections holding a share: the handle is neither closed nor replaced meanwhile
};

struct SectionObject {
  PyObject_HEAD
  ReaderObject* owner;  // strong reference
  ReadGuard* guard;     // while entered
};

PyTypeObject reader_type;
PyTypeObject section_type;

bool check_open(ReaderObject* self) {
  if (self->reader && self->reader->is_open()) return true;
  raise_error(error_type, "the reader is closed");
  return false;
}

int reader_init(ReaderObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data_path", "config", "hide_expired", nullptr};
  PyObject* data_path = Py_None;
  PyObject* config = Py_None;
  int hide_expired = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$Op", const_cast<char**>(kwlist), &data_path, &config,
                                   &hide_expired)) {
    return -1;
  }
  if (self->entered_sections > 0) {
    raise_error(error_type, "a read section of this reader is open");
    return -1;
  }
  if ((data_path == Py_None) == (config == Py_None)) {
    PyErr_SetString(PyExc_TypeError, "Reader() takes a data path or config=, not both or neither");
    return -1;
  }
  Ref path(PyOS_FSPath(data_path != Py_None ? data_path : config));
  if (!path) return -1;
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(path.get(), &encoded_raw)) return -1;
  Ref encoded(encoded_raw);
  const std::string p = PyBytes_AS_STRING(encoded.get());
  delete self->reader;
  self->reader = new Reader();
  ReaderOptions options;
  options.hide_expired = hide_expired != 0;
  ReadStatus s = data_path != Py_None ? Reader::open(p, self->reader, options) : Reader::open_config(p, self->reader, options);
  if (s != ReadStatus::kOk) {
    raise_read_status(s, "cannot open the dictionary of " + p);
    return -1;
  }
  return 0;
}

void reader_dealloc(ReaderObject* self) {
  delete self->reader;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* reader_close(ReaderObject* self, PyObject*) {
  if (self->entered_sections > 0) return raise_error(error_type, "a read section of this reader is open");
  if (self->reader) self->reader->close();
  Py_RETURN_NONE;
}

PyObject* reader_enter(ReaderObject* self, PyObject*) {
  if (!check_open(self)) return nullptr;
  Py_INCREF(self);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* reader_exit(ReaderObject* self, PyObject*) { return reader_close(self, nullptr); }

PyObject* reader_refresh(ReaderObject* self, PyObject*) {
  if (!check_open(self)) return nullptr;
  ReadStatus s = self->reader->refresh();
  if (s != ReadStatus::kOk) return raise_read_status(s, "refresh");
  Py_RETURN_NONE;
}

PyObject* reader_get(ReaderObject* self, PyObject* key_obj) {
  std::string key;
  if (!check_open(self) || !wire_text(key_obj, "key", &key)) return nullptr;
  std::string value;
  ReadStatus s = self->reader->get(key, &value);
  if (s == ReadStatus::kNotFound) Py_RETURN_NONE;
  if (s != ReadStatus::kOk) return raise_read_status(s, "get");
  return bytes_of(value);
}

PyObject* reader_match(ReaderObject* self, PyObject* address_obj) {
  std::string address;
  if (!check_open(self) || !wire_text(address_obj, "address", &address)) return nullptr;
  std::string key, value;
  EntryInfo info;
  ReadStatus s = self->reader->match(address, &key, &value, &info);
  if (s == ReadStatus::kNotFound) Py_RETURN_NONE;
  if (s != ReadStatus::kOk) return raise_read_status(s, "match");
  return new_entry(key, value, info.expires, info.is_address);
}

PyObject* reader_entries(ReaderObject* self, PyObject*) {
  if (!check_open(self)) return nullptr;
  for (int attempt = 0;; ++attempt) {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    bool failed = false;
    ReadStatus s = self->reader->for_each([&](const EntryView& e) {
      Ref item(new_entry(e));
      failed = !item || PyList_Append(list.get(), item.get()) != 0;
      return !failed;
    });
    if (failed) return nullptr;
    if (s == ReadStatus::kOk) return list.release();
    if (s != ReadStatus::kChanged || attempt >= self->reader->options().retries) return raise_read_status(s, "entries");
  }
}

// Looks every item up: keys through the reader's batch, address texts under one guard.
enum class Lookup { kGet, kMatch };

PyObject* lookup_many(ReaderObject* self, PyObject* items_obj, Lookup kind) {
  if (!check_open(self)) return nullptr;
  Ref seq(PySequence_Fast(items_obj, "get_many and match_many take a sequence"));
  if (!seq) return nullptr;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::string> items(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!wire_text(PySequence_Fast_GET_ITEM(seq.get(), i), kind == Lookup::kGet ? "key" : "address",
                   &items[static_cast<size_t>(i)])) {
      return nullptr;
    }
  }
  const char* what = kind == Lookup::kGet ? "get_many" : "match_many";
  if (kind == Lookup::kGet) {
    // Through the reader's batch, which overlaps the lookups (and takes no share with the index).
    std::vector<std::string_view> keys(items.begin(), items.end());
    std::vector<std::string> values(items.size());
    std::vector<ReadStatus> statuses(items.size());
    ReadStatus s = self->reader->get_many(keys.data(), keys.size(), values.data(), statuses.data());
    for (ReadStatus st : statuses) {
      if (s == ReadStatus::kOk && st != ReadStatus::kOk && st != ReadStatus::kNotFound) s = st;
    }
    if (s != ReadStatus::kOk) return raise_read_status(s, what);
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const size_t k = static_cast<size_t>(i);
      PyObject* result = statuses[k] == ReadStatus::kOk ? bytes_of(values[k]) : Py_NewRef(Py_None);
      if (!result) return nullptr;
      PyList_SET_ITEM(list.get(), i, result);
    }
    return list.release();
  }
  for (int attempt = 0;; ++attempt) {
    Ref list(PyList_New(n));
    if (!list) return nullptr;
    ReadStatus s;
    {
      ReadGuard guard(*self->reader);
      s = guard.status();
      for (Py_ssize_t i = 0; s == ReadStatus::kOk && i < n; ++i) {
        EntryView e;
        const std::string& item = items[static_cast<size_t>(i)];
        ReadStatus found = kind == Lookup::kGet ? guard.get(item, &e) : guard.match(item, &e);
        PyObject* result;
        if (found == ReadStatus::kNotFound) {
          result = Py_NewRef(Py_None);
        } else if (found == ReadStatus::kOk) {
          result = kind == Lookup::kGet ? bytes_of(e.value) : new_entry(e);
          if (!result) return nullptr;
        } else {
          s = found;
          break;
        }
        PyList_SET_ITEM(list.get(), i, result);
      }
      if (s == ReadStatus::kOk) s = guard.validate();
    }
    if (s == ReadStatus::kOk) return list.release();
    if (s != ReadStatus::kChanged || attempt >= self->reader->options().retries) return raise_read_status(s, what);
  }
}

PyObject* reader_get_many(ReaderObject* self, PyObject* keys) { return lookup_many(self, keys, Lookup::kGet); }
PyObject* reader_match_many(ReaderObject* self, PyObject* addresses) {
  return lookup_many(self, addresses, Lookup::kMatch);
}

PyObject* reader_section(ReaderObject* self, PyObject*) {
  if (!check_open(self)) return nullptr;
  SectionObject* section = PyObject_New(SectionObject, &section_type);
  if (!section) return nullptr;
  Py_INCREF(self);
  section->owner = self;
  section->guard = nullptr;
  return reinterpret_cast<PyObject*>(section);
}

PyMethodDef reader_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(reader_get), METH_O,
     "get(key) -> bytes or None: the value of the entry with exactly this key."},
    {"match", reinterpret_cast<PyCFunction>(reader_match), METH_O,
     "match(address) -> Entry or None: the entry of the longest stored prefix covering an IPv4 or IPv6 "
     "address."},
    {"get_many", reinterpret_cast<PyCFunction>(reader_get_many), METH_O,
     "get_many(keys) -> list of bytes or None, looked up in one read section."},
    {"match_many", reinterpret_cast<PyCFunction>(reader_match_many), METH_O,
     "match_many(addresses) -> list of Entry or None, looked up in one read section."},
    {"entries", reinterpret_cast<PyCFunction>(reader_entries), METH_NOARGS,
     "entries() -> list of Entry, every entry in key-tree order."},
    {"section", reinterpret_cast<PyCFunction>(reader_section), METH_NOARGS,
     "section() -> ReadSection: a context manager holding one read share for many lookups."},
    {"refresh", reinterpret_cast<PyCFunction>(reader_refresh), METH_NOARGS,
     "refresh(): attach the daemon's live segment now if the one read is stale."},
    {"close", reinterpret_cast<PyCFunction>(reader_close), METH_NOARGS, "close(): detach the segment."},
    {"__enter__", reinterpret_cast<PyCFunction>(reader_enter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reader_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

bool section_check(SectionObject* self) {
  if (self->guard) return true;
  raise_error(error_type, "the read section is not entered (use it in a with statement)");
  return false;
}

void section_dealloc(SectionObject* self) {
  if (self->guard) --self->owner->entered_sections;
  delete self->guard;
  Py_XDECREF(self->owner);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* section_enter(SectionObject* self, PyObject*) {
  if (self->guard) return raise_error(error_type, "the read section is entered already");
  if (!check_open(self->owner)) return nullptr;
  auto guard = std::make_unique<ReadGuard>(*self->owner->reader);
  if (guard->status() != ReadStatus::kOk) return raise_read_status(guard->status(), "read section");
  self->guard = guard.release();
  ++self->owner->entered_sections;
  Py_INCREF(self);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* section_exit(SectionObject* self, PyObject*) {
  if (self->guard) --self->owner->entered_sections;
  delete self->guard;
  self->guard = nullptr;
  Py_RETURN_FALSE;
}

PyObject* section_lookup(SectionObject* self, PyObject* obj, Lookup kind) {
  std::string item;
  if (!section_check(self) || !wire_text(obj, kind == Lookup::kGet ? "key" : "address", &item)) return nullptr;
  EntryView e;
  ReadStatus s = kind == Lookup::kGet ? self->guard->get(item, &e) : self->guard->match(item, &e);
  const char* what = kind == Lookup::kGet ? "get" : "match";
  if (s == ReadStatus::kNotFound) Py_RETURN_NONE;
  if (s != ReadStatus::kOk) return raise_read_status(s, what);
  Ref result(kind == Lookup::kGet ? bytes_of(e.value) : new_entry(e));
  if (!result) return nullptr;
  // The copy is trusted only once the share is known to have been intact while it was made.
  s = self->guard->validate();
  if (s != ReadStatus::kOk) return raise_read_status(s, what);
  return result.release();
}

PyObject* section_get(SectionObject* self, PyObject* key) { return section_lookup(self, key, Lookup::kGet); }
PyObject* section_match(SectionObject* self, PyObject* address) {
  return section_lookup(self, address, Lookup::kMatch);
}

PyObject* section_validate(SectionObject* self, PyObject*) {
  if (!section_check(self)) return nullptr;
  return PyBool_FromLong(self->guard->validate() == ReadStatus::kOk);
}

PyMethodDef section_methods[] = {
    {"get", reinterpret_cast<PyCFunction>(section_get), METH_O, "get(key) -> bytes or None, under this section."},
    {"match", reinterpret_cast<PyCFunction>(section_match), METH_O,
     "match(address) -> Entry or None, under this section."},
    {"validate", reinterpret_cast<PyCFunction>(section_validate), METH_NOARGS,
     "validate() -> bool: whether everything read in this section is still as it was read."},
    {"__enter__", reinterpret_cast<PyCFunction>(section_enter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(section_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace

bool add_reader_types(PyObject* module) {
  if (PyStructSequence_InitType2(&entry_type, &entry_desc) != 0) return false;
  Py_INCREF(&entry_type);
  if (PyModule_AddObject(module, "Entry", reinterpret_cast<PyObject*>(&entry_type)) != 0) return false;

  reader_type.tp_name = "quillmap.Reader";
  reader_type.tp_doc =
      "Reader(data_path, *, hide_expired=False) or Reader(config=PATH): reads the dictionary of the daemon "
      "whose data file is data_path (or named by the data_path line of its configuration file) straight from "
      "its shared segment. Keys are str or UTF-8 bytes; values come back as bytes.";
  reader_type.tp_basicsize = sizeof(ReaderObject);
  reader_type.tp_flags = Py_TPFLAGS_DEFAULT;
  reader_type.tp_new = PyType_GenericNew;
  reader_type.tp_init = reinterpret_cast<initproc>(reader_init);
  reader_type.tp_dealloc = reinterpret_cast<destructor>(reader_dealloc);
  reader_type.tp_methods = reader_methods;

  section_type.tp_name = "quillmap.ReadSection";
  section_type.tp_doc = "One read share of the segment for many lookups; use it in a with statement and keep it short.";
  section_type.tp_basicsize = sizeof(SectionObject);
  section_type.tp_flags = Py_TPFLAGS_DEFAULT;
  section_type.tp_dealloc = reinterpret_cast<destructor>(section_dealloc);
  section_type.tp_methods = section_methods;
  return add_static_type(&reader_type, module, "Reader") && add_static_type(&section_type, module, "ReadSection");
}

}  // namespace quillmap::py
