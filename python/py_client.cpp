// quillmap.Client and quillmap.Batch over the socket client (client/dict_client.h).
//
// Every request is checked before anything is sent, with the command-line tool's checks
// (prepare_request: address syntax, frame size, UTF-8; LOAD/DUMP paths made absolute against the
// current directory). A Client call sends one request as one batch and reads the answer with the GIL
// released. The daemon's answer carries counts only: a call whose request had no outcome raises
// quillmap.Error with the likely reasons for its kind.
#include <cmath>
#include <ctime>
#include <filesystem>
#include <limits>
#include <vector>

#include "client/client_config.h"
#include "client/dict_client.h"
#include "python/py_support.h"
#include "tools/cli_commands.h"
#include "tools/cli_output.h"

namespace quillmap::py {
namespace {

struct ClientObject {
  PyObject_HEAD
  std::string* socket_path;
  int timeout_ms;
};

struct BatchObject {
  PyObject_HEAD
  ClientObject* client;  // strong reference
  std::vector<Request>* requests;
  PyObject* result;      // the answer of the send at the end of a with block, or None
};

PyTypeObject client_type;
PyTypeObject batch_type;

std::string working_dir() {
  std::error_code ignored;
  return std::filesystem::current_path(ignored).string();
}

// The expiry of add/set from expires= (absolute seconds since the epoch, 0 never) or ttl= (seconds
// from now); false with a Python error set.
bool expiry_of(PyObject* expires, PyObject* ttl, std::optional<uint32_t>* out) {
  constexpr double kMax = std::numeric_limits<uint32_t>::max();
  if (expires != Py_None && ttl != Py_None) {
    PyErr_SetString(PyExc_TypeError, "give expires= or ttl=, not both");
    return false;
  }
  if (expires != Py_None) {
    unsigned long long v = PyLong_AsUnsignedLongLong(expires);
    if (PyErr_Occurred() || v > kMax) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "expires must be an integer from 0 (never) to %.0f", kMax);
      return false;
    }
    *out = static_cast<uint32_t>(v);
  } else if (ttl != Py_None) {
    double seconds = PyFloat_AsDouble(ttl);
    if (PyErr_Occurred()) return false;
    const double at = static_cast<double>(std::time(nullptr)) + std::ceil(seconds);
    if (!(seconds > 0) || at > kMax) {
      PyErr_SetString(PyExc_ValueError, "ttl must be a positive number of seconds within the daemon's time range");
      return false;
    }
    *out = static_cast<uint32_t>(at);
  }
  return true;
}

// The shapes of the request methods' arguments.
enum class Shape { kKey, kKeyValue, kPath, kNone };

// One request from a method's arguments, checked; false with a Python error set.
bool build_request(Action action, Shape shape, PyObject* args, PyObject* kwargs, Request* r) {
  r->action = static_cast<int>(action);
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  PyObject* expires = Py_None;
  PyObject* ttl = Py_None;
  PyObject* path = Py_None;
  int ip = 0;
  switch (shape) {
    case Shape::kKey: {
      static const char* kw[] = {"key", "ip", nullptr};
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$p", const_cast<char**>(kw), &key, &ip)) return false;
      break;
    }
    case Shape::kKeyValue: {
      static const char* kw[] = {"key", "value", "expires", "ttl", "ip", nullptr};
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOp", const_cast<char**>(kw), &key, &value, &expires, &ttl,
                                       &ip)) {
        return false;
      }
      break;
    }
    case Shape::kPath: {
      static const char* kw[] = {"path", nullptr};
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O", const_cast<char**>(kw), &path)) return false;
      break;
    }
    case Shape::kNone: {
      static const char* kw[] = {nullptr};
      if (!PyArg_ParseTupleAndKeywords(args, kwargs, "", const_cast<char**>(kw))) return false;
      break;
    }
  }
  if (key) {
    std::string text;
    if (!wire_text(key, "key", &text)) return false;
    r->key = std::move(text);
    r->ktype = ip ? KeyType::kAddress : KeyType::kString;
  }
  if (shape == Shape::kKeyValue) {
    std::string text;
    if (value && !wire_text(value, "value", &text)) return false;
    r->value = std::move(text);
    std::optional<uint32_t> when;
    if (!expiry_of(expires, ttl, &when)) return false;
    r->expires = when.value_or(0);
  }
  if (path != Py_None) {
    Ref fs(PyOS_FSPath(path));
    if (!fs) return false;
    std::string text;
    if (!wire_text(fs.get(), "path", &text)) return false;
    r->value = std::move(text);
  }
  if (Status st = prepare_request(*r, working_dir()); !st) {
    PyErr_SetString(PyExc_ValueError, st.error().c_str());
    return false;
  }
  return true;
}

// Sends `requests` with the GIL released; nullopt with a Python error set.
std::optional<Answer> send(ClientObject* client, const std::vector<Request>& requests) {
  // Copied: another thread may re-initialise the client while this one waits without the GIL.
  const std::string socket_path = *client->socket_path;
  const ClientOptions options{client->timeout_ms};
  std::optional<Result<Answer>> answer;
  Py_BEGIN_ALLOW_THREADS
  answer.emplace(send_batch(socket_path, requests, options));
  Py_END_ALLOW_THREADS
  if (!answer->ok()) {
    const std::string& e = answer->error();
    raise_error(e.rfind("cannot connect to ", 0) == 0 ? not_running_type : error_type, e);
    return std::nullopt;
  }
  if (answer->value().cut_short) {
    raise_error(error_type, "the daemon stopped reading the batch before its end");
    return std::nullopt;
  }
  return std::move(*answer).value();
}

PyObject* info_dict(const InfoFigures& f) {
  return Py_BuildValue("{s:L,s:L,s:L,s:L,s:L}", "pages_total", static_cast<long long>(f.pages_total), "pages_free",
                       static_cast<long long>(f.pages_free), "bytes_total", static_cast<long long>(f.bytes_total),
                       "bytes_alloc", static_cast<long long>(f.bytes_alloc), "bytes_used",
                       static_cast<long long>(f.bytes_used));
}

PyObject* answer_dict(const Answer& a) {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  auto put = [&d](const char* name, PyObject* v) {
    Ref value(v);
    return value && PyDict_SetItemString(d.get(), name, value.get()) == 0;
  };
  std::optional<uint64_t> affected = a.affected();
  bool ok = put("success", PyBool_FromLong(a.success)) &&
            put("affected", affected ? PyLong_FromUnsignedLongLong(*affected) : Py_NewRef(Py_None)) &&
            put("info", a.info ? info_dict(*a.info) : Py_NewRef(Py_None)) &&
            put("hashsum", a.hashsum && !a.hashsum->empty() ? PyUnicode_FromString(a.hashsum->c_str())
                                                             : Py_NewRef(Py_None));
  return ok ? d.release() : nullptr;
}

// One request as one batch; the answer when it had an outcome, else Error with the likely reasons.
std::optional<Answer> call_one(ClientObject* self, Action action, Shape shape, PyObject* args, PyObject* kwargs) {
  Request r;
  if (!build_request(action, shape, args, kwargs, &r)) return std::nullopt;
  std::optional<Answer> a = send(self, {r});
  if (a && !a->success) {
    std::string reasons = likely_failure_reasons({r});
    raise_error(error_type, "the request had no outcome" +
                                (reasons.empty() ? std::string() : "; likely reasons:\n" + reasons.substr(0, reasons.size() - 1)));
    return std::nullopt;
  }
  return a;
}

template <Action kAction, Shape kShape>
PyObject* client_affected(ClientObject* self, PyObject* args, PyObject* kwargs) {
  std::optional<Answer> a = call_one(self, kAction, kShape, args, kwargs);
  if (!a) return nullptr;
  return PyBool_FromLong(a->affected().value_or(0) > 0);
}

template <Action kAction, Shape kShape>
PyObject* client_done(ClientObject* self, PyObject* args, PyObject* kwargs) {
  if (!call_one(self, kAction, kShape, args, kwargs)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* client_info(ClientObject* self, PyObject* args, PyObject* kwargs) {
  std::optional<Answer> a = call_one(self, Action::kInfo, Shape::kNone, args, kwargs);
  if (!a) return nullptr;
  if (!a->info) return raise_error(error_type, "the daemon's answer holds no figures");
  return info_dict(*a->info);
}

PyObject* client_hash(ClientObject* self, PyObject* args, PyObject* kwargs) {
  std::optional<Answer> a = call_one(self, Action::kHash, Shape::kNone, args, kwargs);
  if (!a) return nullptr;
  if (!a->hashsum || a->hashsum->empty()) Py_RETURN_NONE;
  return PyUnicode_FromString(a->hashsum->c_str());
}

PyObject* client_batch(ClientObject* self, PyObject*) {
  BatchObject* b = PyObject_New(BatchObject, &batch_type);
  if (!b) return nullptr;
  Py_INCREF(self);
  b->client = self;
  b->requests = new std::vector<Request>();
  b->result = Py_NewRef(Py_None);
  return reinterpret_cast<PyObject*>(b);
}

int client_init(ClientObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"socket_path", "config", "timeout", nullptr};
  PyObject* socket = Py_None;
  PyObject* config = Py_None;
  PyObject* timeout = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$OO", const_cast<char**>(kwlist), &socket, &config, &timeout)) {
    return -1;
  }
  if (socket != Py_None && config != Py_None) {
    PyErr_SetString(PyExc_TypeError, "Client() takes a socket path or config=, not both");
    return -1;
  }
  auto fs_text = [](PyObject* o, std::string* out) {
    Ref fs(PyOS_FSPath(o));
    return fs && wire_text(fs.get(), "path", out);
  };
  std::string path;
  if (socket != Py_None) {
    if (!fs_text(socket, &path)) return -1;
  } else {
    std::string config_path = kDefaultConfigPath;
    if (config != Py_None && !fs_text(config, &config_path)) return -1;
    Result<std::string> from_config = socket_path_from_config(config_path);
    if (!from_config && config != Py_None) {
      raise_error(error_type, from_config.error());
      return -1;
    }
    path = from_config ? from_config.value() : kDefaultSocketPath;
  }
  int timeout_ms = 0;
  if (timeout != Py_None) {
    double seconds = PyFloat_AsDouble(timeout);
    if (PyErr_Occurred()) return -1;
    if (!(seconds > 0) || seconds > 86400.0 * 365) {
      PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds");
      return -1;
    }
    timeout_ms = std::max(1, static_cast<int>(seconds * 1000));
  }
  delete self->socket_path;
  self->socket_path = new std::string(path);
  self->timeout_ms = timeout_ms;
  return 0;
}

void client_dealloc(ClientObject* self) {
  delete self->socket_path;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* client_socket_path(ClientObject* self, void*) {
  return PyUnicode_DecodeFSDefault(self->socket_path ? self->socket_path->c_str() : "");
}

#define QM_METHOD(name, fn, doc) {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS, doc}

PyMethodDef client_methods[] = {
    QM_METHOD("add", (client_affected<Action::kAdd, Shape::kKeyValue>),
              "add(key, value='', *, expires=None, ttl=None, ip=False) -> bool: store key unless present; True "
              "when it was added."),
    QM_METHOD("set", (client_done<Action::kSet, Shape::kKeyValue>),
              "set(key, value='', *, expires=None, ttl=None, ip=False): store key, replacing its value."),
    QM_METHOD("delete", (client_affected<Action::kDel, Shape::kKey>),
              "delete(key, *, ip=False) -> bool: remove key; True when it was present."),
    QM_METHOD("exists", (client_affected<Action::kGet, Shape::kKey>),
              "exists(key, *, ip=False) -> bool: whether key (ip=True: a prefix covering the address) is present."),
    QM_METHOD("clear", (client_done<Action::kClear, Shape::kNone>), "clear(): remove every entry."),
    QM_METHOD("load", (client_done<Action::kLoad, Shape::kPath>),
              "load(path=None): clear, then read a data file (default: the daemon's data file)."),
    QM_METHOD("dump", (client_done<Action::kDump, Shape::kPath>),
              "dump(path=None): write the dictionary to a data file (default: the daemon's data file)."),
    QM_METHOD("info", client_info, "info() -> dict: memory figures of the shared segment."),
    QM_METHOD("hash", client_hash, "hash() -> str or None: SHA-1 digest over all keys (None: not computed)."),
    {"batch", reinterpret_cast<PyCFunction>(client_batch), METH_NOARGS,
     "batch() -> Batch: requests gathered and sent as one batch over one connection."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef client_getset[] = {
    {"socket_path", reinterpret_cast<getter>(client_socket_path), nullptr, "the daemon's socket", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <Action kAction, Shape kShape>
PyObject* batch_add(BatchObject* self, PyObject* args, PyObject* kwargs) {
  Request r;
  if (!build_request(kAction, kShape, args, kwargs, &r)) return nullptr;
  self->requests->push_back(std::move(r));
  return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* batch_send(BatchObject* self, PyObject*) {
  if (self->requests->empty()) return raise_error(error_type, "the batch is empty");
  std::optional<Answer> a = send(self->client, *self->requests);
  if (!a) return nullptr;
  self->requests->clear();
  return answer_dict(*a);
}

PyObject* batch_enter(BatchObject* self, PyObject*) { return Py_NewRef(reinterpret_cast<PyObject*>(self)); }

PyObject* batch_exit(BatchObject* self, PyObject* args) {
  PyObject* exc_type = Py_None;
  PyObject* exc_value = nullptr;
  PyObject* traceback = nullptr;
  if (!PyArg_ParseTuple(args, "|OOO", &exc_type, &exc_value, &traceback)) return nullptr;
  if (exc_type == Py_None && !self->requests->empty()) {
    PyObject* result = batch_send(self, nullptr);
    if (!result) return nullptr;
    Py_SETREF(self->result, result);
  }
  Py_RETURN_FALSE;
}

Py_ssize_t batch_len(BatchObject* self) { return static_cast<Py_ssize_t>(self->requests->size()); }

void batch_dealloc(BatchObject* self) {
  delete self->requests;
  Py_XDECREF(self->client);
  Py_XDECREF(self->result);
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

PyObject* batch_result(BatchObject* self, void*) { return Py_NewRef(self->result); }

PyMethodDef batch_methods[] = {
    QM_METHOD("add", (batch_add<Action::kAdd, Shape::kKeyValue>), "add(key, value='', *, expires, ttl, ip) -> Batch"),
    QM_METHOD("set", (batch_add<Action::kSet, Shape::kKeyValue>), "set(key, value='', *, expires, ttl, ip) -> Batch"),
    QM_METHOD("delete", (batch_add<Action::kDel, Shape::kKey>), "delete(key, *, ip=False) -> Batch"),
    QM_METHOD("exists", (batch_add<Action::kGet, Shape::kKey>), "exists(key, *, ip=False) -> Batch"),
    QM_METHOD("clear", (batch_add<Action::kClear, Shape::kNone>), "clear() -> Batch"),
    QM_METHOD("load", (batch_add<Action::kLoad, Shape::kPath>), "load(path=None) -> Batch"),
    QM_METHOD("dump", (batch_add<Action::kDump, Shape::kPath>), "dump(path=None) -> Batch"),
    QM_METHOD("info", (batch_add<Action::kInfo, Shape::kNone>), "info() -> Batch"),
    QM_METHOD("hash", (batch_add<Action::kHash, Shape::kNone>), "hash() -> Batch"),
    {"send", reinterpret_cast<PyCFunction>(batch_send), METH_NOARGS,
     "send() -> dict: sends the gathered requests as one batch; the answer as {'success', 'affected', 'info', "
     "'hashsum'}."},
    {"__enter__", reinterpret_cast<PyCFunction>(batch_enter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(batch_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef batch_getset[] = {
    {"result", reinterpret_cast<getter>(batch_result), nullptr,
     "the answer of the send at the end of the with block (None before)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods batch_sequence;


}  // namespace

bool add_client_types(PyObject* module) {
  client_type.tp_name = "quillmap.Client";
  client_type.tp_doc =
      "Client(socket_path=None, *, config=None, timeout=None): requests to the daemon's socket (default: the "
      "socket_path of the default configuration file). Keys and values are str or UTF-8 bytes.";
  client_type.tp_basicsize = sizeof(ClientObject);
  client_type.tp_flags = Py_TPFLAGS_DEFAULT;
  client_type.tp_new = PyType_GenericNew;
  client_type.tp_init = reinterpret_cast<initproc>(client_init);
  client_type.tp_dealloc = reinterpret_cast<destructor>(client_dealloc);
  client_type.tp_methods = client_methods;
  client_type.tp_getset = client_getset;

  batch_type.tp_name = "quillmap.Batch";
  batch_type.tp_doc = "Requests gathered for one batch; Client.batch() makes one.";
  batch_type.tp_basicsize = sizeof(BatchObject);
  batch_type.tp_flags = Py_TPFLAGS_DEFAULT;
  batch_type.tp_dealloc = reinterpret_cast<destructor>(batch_dealloc);
  batch_type.tp_methods = batch_methods;
  batch_type.tp_getset = batch_getset;
  batch_sequence.sq_length = reinterpret_cast<lenfunc>(batch_len);
  batch_type.tp_as_sequence = &batch_sequence;
  return add_static_type(&client_type, module, "Client") && add_static_type(&batch_type, module, "Batch");
}

}  // namespace quillmap::py
