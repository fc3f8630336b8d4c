// Requests per second through the daemon's socket: batches of 1k and 10k ADD, SET and GET requests of
// string keys and of IPv4 address keys, from one client and from two clients at once.
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
//
// Figures: items_per_second is requests per second over all clients (wall-clock time).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "store/segment_identity.h"
#include "client/dict_client.h"

namespace quillmap {
namespace {


void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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
                          << "/quillmap.log\npid_path=" << dir_ << "/quillmap.pid\ndata_size=67108864\n"
                          << "log_level=ERROR\nno_save_restore=1\n"
                          // QUILLMAP_BENCH_INDEX=0: the daemon without its index, to show what it costs writes.
                          << "index=" << (std::getenv("QUILLMAP_BENCH_INDEX") ? std::getenv("QUILLMAP_BENCH_INDEX") : "1")
                          << "\n";
    const std::string binary = daemon_binary();
    const std::string err_path = dir_ + "/stderr.txt";
    pid_ = fork();
    if (pid_ < 0) {
      pid_ = 0;
      problem_ = "cannot fork";
      return;
    }
    if (pid_ == 0) {
      // The daemon goes when this process goes, however that happens.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      int null_fd = open("/dev/null", O_RDWR);
      int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(null_fd, 0);
      dup2(null_fd, 1);
      dup2(err_fd, 2);
      execl(binary.c_str(), binary.c_str(), "-D", "-c", config.c_str(), static_cast<char*>(nullptr));
      _exit(127);
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

}  // namespace
}  // namespace quillmap
