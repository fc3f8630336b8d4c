// Requests per second through the daemon's socket.
//
// The peer table, printed after the Google Benchmark runs: 1M string keys of 16 bytes with 32-byte
// values, sent in batches of 100 requests by 2 client threads with connections of their own, for ADD
// (new keys), SET (the same, now present keys), GET and DEL; and ADD and GET of IPv4 prefixes (GET
// with an address inside each prefix). The same string work goes to a private Redis server on a Unix
// socket (started here in a temporary folder, no persistence) through a pipelined client of this
// program: 100 commands written at once, then their 100 replies read, on one connection per client
// (ADD is SET NX, SET is SET, GET and DEL as they are). redis-benchmark's own SET and GET with the
// same parameters (-P 100 -c 2 -d 32 -r, keys key:NNNNNNNNNNNN of 16 bytes) are shown beside them.
// The figures are requests per second over both clients (wall-clock time), and the ratio
// quillmap/Redis. Without redis-server or redis-benchmark in PATH the Redis side is skipped with one
// line. The daemon answers one batch per connection, so each batch of 100 is a connection of its own;
// a GET answer carries the count of keys found, a Redis GET reply the value.
// QUILLMAP_BENCH_KEYS=N changes the number of keys (and prefixes: N/8, at most 32768);
// QUILLMAP_BENCH_PEER=0 leaves the table out.
//
// BM_SocketBatch: batches of 1k and 10k ADD, SET and GET requests of string keys and of IPv4 address
// keys, from one client and from two clients at once; items_per_second is requests per second over
// all clients (wall-clock time).
//
// By default the benchmark starts its own daemon: the quillmap binary beside this one in the build
// tree (../daemon/quillmap; QUILLMAP_BENCH_DAEMON names another) in the foreground, in a fresh
// temporary directory, with loading and dumping off. The daemon is stopped when the benchmark ends,
// and it also receives SIGTERM should the benchmark die; its segment is marked for removal as soon as
// the daemon has created it, so it vanishes with the daemon whatever way that ends. Only one daemon
// can run on a machine, so no other instance may be running.
//
// QUILLMAP_BENCH_SOCKET=PATH uses a daemon that is already running instead. The benchmark then only
// touches its own keys ("bench-..." and addresses in 198.18.0.0/15) and deletes them again.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "store/segment_identity.h"
#include "client/dict_client.h"

namespace quillmap {
namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Starts `argv` (found on PATH) with standard input and output on /dev/null and standard error into
// err_path; the child receives SIGTERM when this process ends, however that happens. Its pid, or 0
// when it could not be forked.
pid_t spawn_quietly(const std::vector<std::string>& argv, const std::string& err_path) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return 0;
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int null_fd = open("/dev/null", O_RDWR);
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(err_fd, 2);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// The daemon the benchmarks talk to: started here, or the one QUILLMAP_BENCH_SOCKET names.
class BenchDaemon {
 public:
  BenchDaemon() {
    if (const char* socket = std::getenv("QUILLMAP_BENCH_SOCKET")) {
      socket_path_ = socket;
      ready_ = send_batch(socket_path_, {}).ok();
      if (!ready_) problem_ = "no daemon answers on " + socket_path_;
      return;
    }
    start();
  }

  ~BenchDaemon() { stop(); }

  bool ready() const { return ready_; }
  const std::string& socket_path() const { return socket_path_; }
  const std::string& problem() const { return problem_; }

 private:
  static std::string daemon_binary() {
    if (const char* path = std::getenv("QUILLMAP_BENCH_DAEMON")) return path;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / "daemon" / "quillmap").string();
  }

  void start() {
    char tmpl[] = "/tmp/quillmap-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      problem_ = "cannot create a temporary directory";
      return;
    }
    dir_ = tmpl;
    socket_path_ = dir_ + "/quillmap.sock";
    const std::string config = dir_ + "/quillmap.conf", data = dir_ + "/data.yaml";
    std::ofstream(config) << "data_path=" << data << "\nsocket_path=" << socket_path_ << "\nlog_path=" << dir_
                          << "/quillmap.log\npid_path=" << dir_ << "/quillmap.pid\ndata_size=1073741824\n"
                          << "log_level=ERROR\nno_save_restore=1\n"
                          // QUILLMAP_BENCH_INDEX=0: the daemon without its index, to show what it costs writes.
                          << "index=" << (std::getenv("QUILLMAP_BENCH_INDEX") ? std::getenv("QUILLMAP_BENCH_INDEX") : "1")
                          // QUILLMAP_BENCH_HUGE_PAGES=1: both segments in huge pages (vm.nr_hugepages must reserve them).
                          << "\nhuge_pages="
                          << (std::getenv("QUILLMAP_BENCH_HUGE_PAGES") ? std::getenv("QUILLMAP_BENCH_HUGE_PAGES") : "0")
                          << "\n";
    const std::string binary = daemon_binary();
    const std::string err_path = dir_ + "/stderr.txt";
    pid_ = spawn_quietly({binary, "-D", "-c", config}, err_path);
    if (pid_ == 0) {
      problem_ = "cannot fork";
      return;
    }
    for (int waited = 0; waited < 10000; waited += 10) {
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        std::stringstream err;
        err << std::ifstream(err_path).rdbuf();
        problem_ = "the daemon " + binary + " ended at start-up: " + err.str();
        return;
      }
      if (send_batch(socket_path_, {}).ok()) {
        ready_ = true;
        break;
      }
      sleep_ms(10);
    }
    if (!ready_) {
      problem_ = "the daemon " + binary + " did not answer on " + socket_path_ + " within 10 s";
      return;
    }
    // The daemon keeps the segment attached; marked for removal, it disappears when the daemon ends.
    int id = find_segment(data.c_str(), kDictProjectId);
    if (id != -1) shmctl(id, IPC_RMID, nullptr);
  }

  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      bool ended = false;
      for (int waited = 0; waited < 5000 && !ended; waited += 10) {
        ended = waitpid(pid_, &status, WNOHANG) == pid_;
        if (!ended) sleep_ms(10);
      }
      if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
      pid_ = 0;
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  std::string dir_;
  std::string socket_path_;
  pid_t pid_ = 0;
  bool ready_ = false;
  std::string problem_;
};

// Started before main, in the main thread, so that the daemon's parent-death signal belongs to the
// thread that lives as long as the process.
BenchDaemon bench_daemon;

enum Op { kAdd, kSet, kGet };
enum Keys { kStringKeys, kAddressKeys };

// The keys of one client: distinct per client thread.
std::vector<std::string> keys_for(Keys kind, int client, int64_t count) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<size_t>(count));
  for (int64_t i = 0; i < count; ++i) {
    if (kind == kStringKeys) {
      keys.push_back("bench-" + std::to_string(client) + "-key-" + std::to_string(i));
    } else {
      keys.push_back("198." + std::to_string(18 + client) + "." + std::to_string(i / 256) + "." +
                     std::to_string(i % 256));
    }
  }
  return keys;
}

std::string frames_for(Op op, Keys kind, const std::vector<std::string>& keys) {
  KeyType ktype = kind == kStringKeys ? KeyType::kString : KeyType::kAddress;
  std::vector<Request> batch;
  batch.reserve(keys.size());
  for (const std::string& key : keys) {
    switch (op) {
      case kAdd: batch.push_back(make_add(key, "value of " + key, 0, ktype)); break;
      case kSet: batch.push_back(make_set(key, "new value of " + key, 0, ktype)); break;
      case kGet: batch.push_back(make_get(key, ktype)); break;
    }
  }
  return encode_batch(batch).value();
}

std::string del_frames(Keys kind, const std::vector<std::string>& keys) {
  std::vector<Request> batch;
  for (const std::string& key : keys) {
    batch.push_back(make_del(key, kind == kStringKeys ? KeyType::kString : KeyType::kAddress));
  }
  return encode_batch(batch).value();
}

// Sends prepared frames as one batch; the number of affected entries, or an error text.
Result<uint64_t> run_batch(const std::string& frames) {
  Result<DictConnection> conn = DictConnection::open(bench_daemon.socket_path());
  if (!conn) return ClientError{conn.error()};
  if (Status st = conn.value().send_frames(frames); !st) return ClientError{st.error()};
  Result<Answer> answer = conn.value().finish();
  if (!answer) return ClientError{answer.error()};
  return answer.value().affected().value_or(0);
}

void BM_SocketBatch(benchmark::State& state) {
  if (!bench_daemon.ready()) {
    state.SkipWithError(bench_daemon.problem().c_str());
    return;
  }
  const Op op = static_cast<Op>(state.range(0));
  const Keys kind = static_cast<Keys>(state.range(1));
  const int64_t batch = state.range(2);
  const std::vector<std::string> keys = keys_for(kind, state.thread_index(), batch);
  const std::string frames = frames_for(op, kind, keys);
  const std::string populate = frames_for(kAdd, kind, keys);
  const std::string remove = del_frames(kind, keys);

  // SET and GET work on present keys; ADD starts from absent ones and removes them after each batch.
  if (op != kAdd && !run_batch(populate).ok()) {
    state.SkipWithError("populating the keys failed");
    return;
  }
  uint64_t affected = 0;
  for (auto _ : state) {
    Result<uint64_t> r = run_batch(frames);
    if (!r) {
      state.SkipWithError(r.error().c_str());
      break;
    }
    affected += r.value();
    if (op == kAdd) {
      state.PauseTiming();
      Result<uint64_t> removed = run_batch(remove);
      state.ResumeTiming();
      if (!removed) {
        state.SkipWithError(removed.error().c_str());
        break;
      }
    }
  }
  if (op != kAdd) run_batch(remove);
  state.SetItemsProcessed(state.iterations() * batch);
  // Every request of these batches should change or find its key.
  state.counters["affected_share"] = benchmark::Counter(
      state.iterations() ? static_cast<double>(affected) / static_cast<double>(state.iterations() * batch) : 0,
      benchmark::Counter::kAvgThreads);
  state.SetLabel(std::string(op == kAdd ? "ADD" : op == kSet ? "SET" : "GET") +
                 (kind == kStringKeys ? " string" : " ipv4"));
}

BENCHMARK(BM_SocketBatch)
    ->ArgNames({"op", "keys", "batch"})
    ->ArgsProduct({{kAdd, kSet, kGet}, {kStringKeys, kAddressKeys}, {1000, 10000}})
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// ---- The peer table: the same work for the daemon and for a private Redis server ----

int64_t env_int(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::strtoll(v, nullptr, 10) : fallback;
}

constexpr int kPeerClients = 2;
constexpr int64_t kPeerBatch = 100;

// Key i of the string scenario, 16 bytes: "bench-" and ten digits here, "key:" and twelve digits
// for Redis (redis-benchmark's form of random keys).
std::string peer_key(int64_t i) {
  char buf[32];
  snprintf(buf, sizeof buf, "bench-%010ld", static_cast<long>(i));
  return buf;
}
std::string redis_key(int64_t i) {
  char buf[32];
  snprintf(buf, sizeof buf, "key:%012ld", static_cast<long>(i));
  return buf;
}
// 32-byte values; SET writes other ones than ADD.
std::string peer_value(int64_t i, bool fresh) {
  char buf[48];
  snprintf(buf, sizeof buf, "%s-%026ld", fresh ? "fresh" : "value", static_cast<long>(i));
  return buf;
}
// IPv4 prefix i in 198.18.0.0/15, of length 30, and an address inside it.
std::string peer_prefix(int64_t i) {
  const uint32_t a = (uint32_t{198} << 24) | (uint32_t{18} << 16) | (static_cast<uint32_t>(i) << 2);
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
         "." + std::to_string(a & 255) + "/30";
}
std::string peer_address_in(int64_t i) {
  std::string p = peer_prefix(i);
  const size_t dot = p.rfind('.');
  return p.substr(0, dot + 1) + std::to_string(std::stoi(p.substr(dot + 1)) + 1);
}

enum class PeerAction { kAdd, kSet, kGet, kDel };
const char* action_name(PeerAction a) {
  switch (a) {
    case PeerAction::kAdd: return "ADD";
    case PeerAction::kSet: return "SET";
    case PeerAction::kGet: return "GET";
    case PeerAction::kDel: return "DEL";
  }
  return "?";
}

// One timed phase over all clients.
struct PhaseResult {
  double seconds = 0;
  int64_t requests = 0;
  uint64_t affected = 0;  // entries the requests changed or found
  std::string error;
  double rate() const { return seconds > 0 ? static_cast<double>(requests) / seconds : 0; }
};

// Runs work(client) on kPeerClients threads started together; wall-clock time from the start to the
// last thread's end. work returns the affected count, or an error text through its second argument.
template <class Work>
PhaseResult run_clients(int64_t requests, Work work) {
  std::vector<uint64_t> affected(kPeerClients, 0);
  std::vector<std::string> errors(kPeerClients);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  std::chrono::steady_clock::time_point start;
  for (int c = 0; c < kPeerClients; ++c) {
    threads.emplace_back([&, c] {
      ready.fetch_add(1);
      while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
      affected[c] = work(c, errors[c]);
    });
  }
  while (ready.load() < kPeerClients) std::this_thread::yield();
  start = std::chrono::steady_clock::now();
  go.store(true, std::memory_order_release);
  for (std::thread& t : threads) t.join();
  PhaseResult r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.requests = requests;
  for (int c = 0; c < kPeerClients; ++c) {
    r.affected += affected[c];
    if (r.error.empty()) r.error = errors[c];
  }
  return r;
}

// The keys of client c: every kPeerClients-th index.
template <class F>
void for_client_keys(int c, int64_t count, F f) {
  for (int64_t i = c; i < count; i += kPeerClients) f(i);
}

// The daemon's side: every batch of 100 encoded before the clock starts.
PhaseResult quillmap_phase(PeerAction action, bool addresses, int64_t count) {
  const KeyType ktype = addresses ? KeyType::kAddress : KeyType::kString;
  std::vector<std::vector<std::string>> batches(kPeerClients);
  for (int c = 0; c < kPeerClients; ++c) {
    std::vector<Request> batch;
    auto flush = [&] {
      if (batch.empty()) return;
      batches[c].push_back(encode_batch(batch).value());
      batch.clear();
    };
    for_client_keys(c, count, [&](int64_t i) {
      std::string key = addresses ? peer_prefix(i) : peer_key(i);
      switch (action) {
        case PeerAction::kAdd: batch.push_back(make_add(std::move(key), peer_value(i, false), 0, ktype)); break;
        case PeerAction::kSet: batch.push_back(make_set(std::move(key), peer_value(i, true), 0, ktype)); break;
        case PeerAction::kGet:
          batch.push_back(make_get(addresses ? peer_address_in(i) : std::move(key), ktype));
          break;
        case PeerAction::kDel: batch.push_back(make_del(std::move(key), ktype)); break;
      }
      if (static_cast<int64_t>(batch.size()) == kPeerBatch) flush();
    });
    flush();
  }
  return run_clients(count, [&](int c, std::string& error) -> uint64_t {
    uint64_t affected = 0;
    for (const std::string& frames : batches[c]) {
      Result<uint64_t> r = run_batch(frames);
      if (!r) {
        error = r.error();
        break;
      }
      affected += r.value();
    }
    return affected;
  });
}

// A Redis server of this benchmark's own: redis-server on a Unix socket in a temporary folder,
// without saving, stopped (and its folder removed) with this object or with this process.
class RedisPeer {
 public:
  RedisPeer() {
    if (!in_path("redis-server") || !in_path("redis-benchmark")) {
      problem_ = "redis-server or redis-benchmark is not installed";
      return;
    }
    char tmpl[] = "/tmp/quillmap-bench-redis-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      problem_ = "cannot create a temporary directory";
      return;
    }
    dir_ = tmpl;
    socket_path_ = dir_ + "/redis.sock";
    pid_ = spawn_quietly({"redis-server", "--port", "0", "--unixsocket", socket_path_, "--unixsocketperm", "700",
                          "--save", "", "--appendonly", "no", "--dir", dir_, "--logfile", dir_ + "/redis.log"},
                         "/dev/null");
    if (pid_ == 0) {
      problem_ = "cannot fork";
      return;
    }
    for (int waited = 0; waited < 10000 && !ready_; waited += 10) {
      UniqueFd fd = connect_socket();
      ready_ = fd && command(fd.get(), "*1\r\n$4\r\nPING\r\n") == "+PONG";
      if (!ready_) sleep_ms(10);
    }
    if (!ready_) problem_ = "redis-server did not answer on " + socket_path_ + " within 10 s";
  }
  ~RedisPeer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  bool ready() const { return ready_; }
  const std::string& problem() const { return problem_; }
  const std::string& socket_path() const { return socket_path_; }

  UniqueFd connect_socket() const {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path_.c_str());
    if (!fd || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return UniqueFd();
    return fd;
  }

  // Sends one command and returns its first reply line (without CR LF), "" on an error.
  static std::string command(int fd, const std::string& text) {
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return "";
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return "";
    std::string line(buf, static_cast<size_t>(n));
    return line.substr(0, line.find("\r\n"));
  }

  // redis-benchmark's figure (requests per second) for one test ("SET" or "GET"), 0 when it failed.
  double redis_benchmark(const char* test, int64_t count) const {
    const std::string cmd = "redis-benchmark -s '" + socket_path_ + "' -P " + std::to_string(kPeerBatch) + " -c " +
                            std::to_string(kPeerClients) + " -n " + std::to_string(count) + " -r " +
                            std::to_string(count) + " -d 32 -t " + test + " --csv 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return 0;
    char line[512];
    double rps = 0;
    while (fgets(line, sizeof line, p) != nullptr) {
      // "SET","123456.79",...
      if (std::strncmp(line + 1, test, std::strlen(test)) == 0) {
        const char* comma = std::strchr(line, ',');
        if (comma != nullptr) rps = std::strtod(comma + 2, nullptr);
      }
    }
    pclose(p);
    return rps;
  }

 private:
  static bool in_path(const char* name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
      if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
  }

  std::string dir_;
  std::string socket_path_;
  pid_t pid_ = 0;
  bool ready_ = false;
  std::string problem_;
};

void append_bulk(std::string& out, const std::string& s) {
  out += '$';
  out += std::to_string(s.size());
  out += "\r\n";
  out += s;
  out += "\r\n";
}

// Reads `replies` RESP replies (simple strings, errors, integers, bulk strings) from `fd` through
// `buf`; returns how many changed or found their key (+OK, :1 or more, a present bulk string), or -1.
int64_t read_replies(int fd, std::string& buf, size_t& pos, int64_t replies) {
  int64_t affected = 0;
  auto fill = [&]() {
    if (pos > 0) {
      buf.erase(0, pos);
      pos = 0;
    }
    char chunk[65536];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buf.append(chunk, static_cast<size_t>(n));
    return true;
  };
  while (replies > 0) {
    size_t eol = buf.find("\r\n", pos);
    if (eol == std::string::npos) {
      if (!fill()) return -1;
      continue;
    }
    const char type = buf[pos];
    if (type == '$') {
      const long len = std::strtol(buf.c_str() + pos + 1, nullptr, 10);
      if (len >= 0) {
        const size_t end = eol + 2 + static_cast<size_t>(len) + 2;
        if (buf.size() < end) {
          if (!fill()) return -1;
          continue;
        }
        ++affected;
        pos = end;
      } else {
        pos = eol + 2;
      }
    } else {
      if (type == '+' || (type == ':' && std::strtol(buf.c_str() + pos + 1, nullptr, 10) > 0)) ++affected;
      if (type == '-') return -1;
      pos = eol + 2;
    }
    --replies;
  }
  return affected;
}

// Redis's side: every pipeline of 100 commands prepared before the clock starts; one connection per
// client for the whole phase.
PhaseResult redis_phase(const RedisPeer& redis, PeerAction action, int64_t count) {
  std::vector<std::vector<std::pair<std::string, int64_t>>> pipelines(kPeerClients);
  for (int c = 0; c < kPeerClients; ++c) {
    std::string text;
    int64_t n = 0;
    auto flush = [&] {
      if (n == 0) return;
      pipelines[c].emplace_back(std::move(text), n);
      text.clear();
      n = 0;
    };
    for_client_keys(c, count, [&](int64_t i) {
      const std::string key = redis_key(i);
      switch (action) {
        case PeerAction::kAdd:
          text += "*4\r\n$3\r\nSET\r\n";
          append_bulk(text, key);
          append_bulk(text, peer_value(i, false));
          text += "$2\r\nNX\r\n";
          break;
        case PeerAction::kSet:
          text += "*3\r\n$3\r\nSET\r\n";
          append_bulk(text, key);
          append_bulk(text, peer_value(i, true));
          break;
        case PeerAction::kGet:
          text += "*2\r\n$3\r\nGET\r\n";
          append_bulk(text, key);
          break;
        case PeerAction::kDel:
          text += "*2\r\n$3\r\nDEL\r\n";
          append_bulk(text, key);
          break;
      }
      if (++n == kPeerBatch) flush();
    });
    flush();
  }
  std::vector<UniqueFd> conns;
  for (int c = 0; c < kPeerClients; ++c) conns.push_back(redis.connect_socket());
  return run_clients(count, [&](int c, std::string& error) -> uint64_t {
    uint64_t affected = 0;
    std::string buf;
    size_t pos = 0;
    for (const auto& [text, n] : pipelines[c]) {
      int64_t got = -1;
      if (conns[c] && shm_writen(conns[c].get(), text.data(), text.size()) == static_cast<int64_t>(text.size())) {
        got = read_replies(conns[c].get(), buf, pos, n);
      }
      if (got < 0) {
        error = "the Redis connection failed or a command was refused";
        break;
      }
      affected += static_cast<uint64_t>(got);
    }
    return affected;
  });
}

std::string rate_text(const PhaseResult& r) {
  if (!r.error.empty()) return "failed";
  char buf[32];
  snprintf(buf, sizeof buf, "%.0f", r.rate());
  return buf;
}

void print_row(const std::string& what, const std::string& ours, const std::string& peer, const std::string& ratio,
               const std::string& note) {
  printf("%-22s %16s %16s %10s  %s\n", what.c_str(), ours.c_str(), peer.c_str(), ratio.c_str(), note.c_str());
}

// Affected counts that differ from what the scenario expects (every request changes or finds its
// key, ADD of keys left over by an earlier run excepted) are shown beside the figure.
std::string affected_note(const PhaseResult& r) {
  if (!r.error.empty()) return r.error;
  if (r.affected == static_cast<uint64_t>(r.requests)) return "";
  return std::to_string(r.affected) + " of " + std::to_string(r.requests) + " affected";
}

void run_peer_table() {
  if (!bench_daemon.ready()) {
    printf("Peer table skipped: %s\n", bench_daemon.problem().c_str());
    return;
  }
  const int64_t keys = env_int("QUILLMAP_BENCH_KEYS", 1000000);
  const int64_t prefixes = std::min<int64_t>(keys / 8, 32768);
  RedisPeer redis;
  printf("\nSocket load: %ld string keys of 16 bytes, 32-byte values, batches of %ld, %d clients\n",
         static_cast<long>(keys), static_cast<long>(kPeerBatch), kPeerClients);
  if (!redis.ready()) printf("Redis peer skipped: %s\n", redis.problem().c_str());
  print_row("action", "quillmap req/s", "Redis req/s", "ratio", "");
  for (PeerAction a : {PeerAction::kAdd, PeerAction::kSet, PeerAction::kGet, PeerAction::kDel}) {
    const PhaseResult ours = quillmap_phase(a, false, keys);
    std::string peer = "-", ratio = "-", note = affected_note(ours);
    if (redis.ready()) {
      const PhaseResult theirs = redis_phase(redis, a, keys);
      peer = rate_text(theirs);
      if (ours.error.empty() && theirs.error.empty() && theirs.rate() > 0) {
        char buf[32];
        snprintf(buf, sizeof buf, "%.2f", ours.rate() / theirs.rate());
        ratio = buf;
      }
      if (!affected_note(theirs).empty()) note += (note.empty() ? "Redis: " : "; Redis: ") + affected_note(theirs);
    }
    print_row(std::string(action_name(a)) + " string", rate_text(ours), peer, ratio, note);
  }
  for (PeerAction a : {PeerAction::kAdd, PeerAction::kGet}) {
    const PhaseResult ours = quillmap_phase(a, true, prefixes);
    print_row(std::string(action_name(a)) + " ipv4 /30 (" + std::to_string(prefixes) + ")", rate_text(ours), "-", "-",
              affected_note(ours));
  }
  quillmap_phase(PeerAction::kDel, true, prefixes);
  if (redis.ready()) {
    for (const char* test : {"SET", "GET"}) {
      const double rps = redis.redis_benchmark(test, keys);
      char buf[32];
      snprintf(buf, sizeof buf, "%.0f", rps);
      print_row(std::string(test) + " redis-benchmark", "-", rps > 0 ? buf : "failed", "-",
                "-P 100 -c 2 -d 32 -r (random keys)");
    }
  }
  fflush(stdout);
}


}  // namespace
}  // namespace quillmap

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (quillmap::env_int("QUILLMAP_BENCH_PEER", 1) != 0) quillmap::run_peer_table();
  return 0;
}
