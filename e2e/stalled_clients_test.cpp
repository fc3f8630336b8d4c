// Clients that stall the way a hostile or broken program would, while the daemon serves everyone else.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/dict_client.h"
#include "e2e/daemon_harness.h"
#include "util/io.h"

namespace quillmap::e2e {
namespace {

// A raw connection to the daemon that has written `bytes` and keeps its sending direction open.
UniqueFd stalled_client(const std::string& socket_path, const std::string& bytes = "") {
  UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
  const timeval patience = {10, 0};  // a read that would wait longer fails the check
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  socket_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  EXPECT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(shm_writen(fd.get(), bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
  return fd;
}

// Whether the daemon closed `fd` without writing anything.
bool closed_unanswered(int fd) {
  char byte;
  return read(fd, &byte, 1) == 0;
}

TEST(StalledClients, OthersAreServedAndTheStalledAreDroppedAfterTheTimeout) {
  DaemonHarness daemon({"client_timeout=2"});
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();

  std::vector<UniqueFd> stalled;
  for (int i = 0; i < 40; ++i) stalled.push_back(stalled_client(daemon.socket_path));
  const std::string add_pending = encode_batch({make_add("pending", "v")}).value();
  stalled.push_back(stalled_client(daemon.socket_path, add_pending.substr(0, 3)));  // half a frame
  stalled.push_back(stalled_client(daemon.socket_path, add_pending));              // no half-close

  // The frames of the client that never half-closes have run, and others are answered before the
  // stalled ones are dropped.
  EXPECT_TRUE(wait_until([&] {
    Result<Answer> a = send_batch(daemon.socket_path, {make_get("pending")}, ClientOptions{1000});
    EXPECT_TRUE(a.ok()) << a.error();
    return !a.ok() || a.value().affected() == 1u;
  }, 5000)) << "a stalled connection's complete request did not run";
  EXPECT_EQ(count_of(daemon.log_text(), "made no progress"), 0u) << "others had to wait for the stalled clients";

  // After the time-out every stalled connection is closed unanswered, each with one line.
  const std::string line = "[WARN]: Client PID=" + std::to_string(getpid()) +
                           " made no progress for 2 s: connection closed unanswered";
  for (const UniqueFd& fd : stalled) EXPECT_TRUE(closed_unanswered(fd.get()));
  EXPECT_TRUE(wait_until([&] { return count_of(daemon.log_text(), line) == 42; }, 5000)) << daemon.log_text();
  EXPECT_EQ(send_batch(daemon.socket_path, {make_get("pending")}).value().affected(), 1u);

  // A stop while a client stalls is not held up until the client is dropped.
  UniqueFd staller = stalled_client(daemon.socket_path, add_pending.substr(0, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // accepted and being read
  EXPECT_EQ(daemon.stop(), 0);
  EXPECT_EQ(count_of(daemon.log_text(), line), 42u) << "the stop waited for a stalled client";
}

TEST(StalledClients, ConnectionsPastMaxClientsAreClosedAtOnce) {
  DaemonHarness daemon({"max_clients=3", "client_timeout=0"});
  ASSERT_TRUE(daemon.start()) << daemon.stderr_text();
  const auto admitted = [&] { return count_of(daemon.log_text(), "Connected peer creds"); };
  const size_t before = admitted();
  // Each held client is admitted (it logs its peer's credentials) before the next comes: by then the
  // daemon has also seen the harness's own readiness connections close.
  std::vector<UniqueFd> held;
  for (size_t i = 1; i <= 3; ++i) {
    held.push_back(stalled_client(daemon.socket_path));
    ASSERT_TRUE(wait_until([&] { return admitted() == before + i; }, 10000)) << daemon.log_text();
  }
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(closed_unanswered(stalled_client(daemon.socket_path).get())) << daemon.log_text();
  EXPECT_TRUE(daemon.wait_for_log("[WARN]: Too many clients: 3 connections are open (max_clients)"));
  EXPECT_EQ(count_of(daemon.log_text(), "Too many clients"), 1u) << "the warning is rate-limited";
  held.pop_back();  // a place frees up once the daemon has seen it close: until then it is refused
  EXPECT_TRUE(wait_until([&] {
    Result<Answer> a = send_batch(daemon.socket_path, {make_add("k", "v")}, ClientOptions{2000});
    return a.ok() && a.value().affected() == 1u;
  }, 5000));
  EXPECT_EQ(daemon.stop(), 0);
}

}  // namespace
}  // namespace quillmap::e2e
