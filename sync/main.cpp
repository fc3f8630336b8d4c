// quillmap-sync: the fleet agent and the operators' publisher commands.
#include <getopt.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sync/agent.h"
#include "sync/agent_files.h"
#include "sync/daemon_feeder.h"
#include "sync/etcd_kv.h"
#include "sync/publisher.h"
#include "sync/sync_config.h"
#include "sync/verify.h"
#include "util/log.h"
#include "util/settings.h"

namespace {

using namespace quillmap;
using namespace quillmap::sync;

volatile std::sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

constexpr const char* kUsage =
    "Usage: quillmap-sync [-c CONFIG] COMMAND\n"
    "  run                             follow the etcd prefix and keep the local daemon in step\n"
    "  status                          the running agent's figures\n"
    "  verify                          compare the local dictionary with the etcd prefix\n"
    "  put [--ip] [--lease TTL] KEY VALUE   write one key (under a new lease of TTL seconds)\n"
    "  delete [--ip] KEY               remove one key\n"
    "  import [--ip] FILE              write every entry of a data file (.yaml) or of KEY VALUE lines\n"
    "CONFIG defaults to /etc/quillmap/quillmap-sync.conf.\n";

unsigned level_of(const std::string& name) {
  if (name == "CRIT") return quillmap::kLogCrit;
  if (name == "ERROR") return quillmap::kLogError;
  if (name == "WARN") return quillmap::kLogWarn;
  if (name == "DEBUG") return quillmap::kLogDebug;
  return quillmap::kLogInfo;
}

int run_agent(const SyncConfig& config) {
  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  quillmap::settings.log_level = level_of(config.log_level);
  quillmap::log_open(config.log_path.c_str());
  Agent agent(config);
  return agent.run(&g_stop);
}

int show_status(const SyncConfig& config) {
  std::string updated;
  std::optional<AgentFigures> f = read_status_file(config.status_path(), &updated);
  if (!f) {
    std::fprintf(stderr, "quillmap-sync: no status at %s (has the agent run?)\n", config.status_path().c_str());
    return 1;
  }
  // The state file is written after every batch, the status file only now and then.
  if (std::optional<AgentState> state = load_state(config.state_path)) f->applied_revision = state->revision;
  EtcdGateway etcd(config.etcd);
  Result<int64_t> current = current_revision(etcd, config.prefix);
  std::printf("applied revision: %lld\n", static_cast<long long>(f->applied_revision));
  if (current.ok()) {
    std::printf("etcd revision: %lld\nlag: %lld revisions\n", static_cast<long long>(current.value()),
                static_cast<long long>(current.value() - f->applied_revision));
  } else {
    std::printf("etcd revision: unknown (%s)\n", current.error().c_str());
  }
  std::printf("events applied: %llu\nfull re-reads: %llu\nerrors: %llu\n",
              static_cast<unsigned long long>(f->events_applied), static_cast<unsigned long long>(f->full_reads),
              static_cast<unsigned long long>(f->errors));
  if (!f->last_error.empty()) std::printf("last error: %s\n", f->last_error.c_str());
  std::printf("refused: %zu\n", f->refused.size());
  for (const auto& [key, why] : f->refused) std::printf("  %s: %s\n", key.c_str(), why.c_str());
  std::string error;
  std::optional<std::string> hash = DaemonFeeder(config.socket_path).hash(&error);
  std::printf("local hash: %s\n", hash ? hash->c_str() : ("unknown (" + error + ")").c_str());
  std::printf("status written: %s\n", updated.c_str());
  return 0;
}

int run_verify(const SyncConfig& config) {
  EtcdGateway etcd(config.etcd);
  VerifyReport r = verify_local(etcd, config);
  if (!r.error.empty()) {
    std::fprintf(stderr, "quillmap-sync: %s\n", r.error.c_str());
    return 2;
  }
  for (const std::string& d : r.differences) std::printf("%s\n", d.c_str());
  std::printf("%s at revision %lld: %zu keys, %zu refused, %zu added by others, hash %s\n",
              r.ok ? "in step" : "DIFFERENT", static_cast<long long>(r.revision), r.keys, r.refused, r.foreign,
              r.hash.c_str());
  return r.ok ? 0 : 1;
}

int publish(const SyncConfig& config, const std::string& command, std::vector<std::string> args) {
  bool address = false;
  int64_t ttl = 0;
  while (!args.empty() && args[0].starts_with("--")) {
    if (args[0] == "--ip") {
      address = true;
      args.erase(args.begin());
    } else if (args[0] == "--lease" && args.size() > 1) {
      ttl = std::atoll(args[1].c_str());
      args.erase(args.begin(), args.begin() + 2);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  EtcdGateway etcd(config.etcd);
  Result<int64_t> r = ClientError{"bad arguments"};
  if (command == "put" && args.size() == 2) {
    int64_t lease = 0;
    if (ttl > 0) {
      Result<int64_t> granted = grant_lease(etcd, ttl);
      if (!granted.ok()) {
        std::fprintf(stderr, "quillmap-sync: %s\n", granted.error().c_str());
        return 1;
      }
      lease = granted.value();
    }
    r = publish_put(etcd, config.prefix, address, args[0], args[1], lease);
  } else if (command == "delete" && args.size() == 1) {
    r = publish_delete(etcd, config.prefix, address, args[0]);
  } else if (command == "import" && args.size() == 1) {
    r = publish_import(etcd, config.prefix, address, args[0]);
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }
  if (!r.ok()) {
    std::fprintf(stderr, "quillmap-sync: %s\n", r.error().c_str());
    return 1;
  }
  std::printf(command == "import" ? "%lld keys written\n" : "revision %lld\n", static_cast<long long>(r.value()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path = "/etc/quillmap/quillmap-sync.conf";
  int i = 1;
  for (; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "-c" || a == "--config") && i + 1 < argc) {
      config_path = argv[++i];
    } else if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      break;
    }
  }
  if (i >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[i];
  std::vector<std::string> args(argv + i + 1, argv + argc);
  quillmap::Result<SyncConfig> config = read_sync_config(config_path);
  if (!config.ok()) {
    std::fprintf(stderr, "quillmap-sync: %s\n", config.error().c_str());
    return 2;
  }
  if (command == "run" && args.empty()) return run_agent(config.value());
  if (command == "status" && args.empty()) return show_status(config.value());
  if (command == "verify" && args.empty()) return run_verify(config.value());
  if (command == "put" || command == "delete" || command == "import") return publish(config.value(), command, args);
  std::fputs(kUsage, stderr);
  return 2;
}
