// The whole connection path over an in-memory store: the input is the byte stream one client sends.
// Its first byte chooses the size of the pieces the stream arrives in; the frames are read, decoded
// and dispatched as the worker does, and the batch is answered. Checked: the answer is one frame of
// a well-formed answer message whose success and message agree, and (every 64 inputs) the whole store
// - allocator, key tree, tries and the links between them - is consistent. LOAD and DUMP may only name
// files directly in the harness's private data folder.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "entry/testing/entry_store.h"
#include "proto/msg.pb-c.h"
#include "server/dispatcher.h"
#include "server/frame_reader.h"
#include "store/sweeps.h"
#include "util/settings.h"

namespace {

using namespace quillmap;

struct Harness {
  testing::EntryStore store{4 << 20};
  std::string dir = "/tmp/qm_fuzz_conn_XXXXXX";
  std::string data_path;
  Harness() {
    if (mkdtemp(dir.data()) == nullptr) abort();
    data_path = dir + "/data.yaml";
    settings.data_path = data_path.data();
    settings.log_path = nullptr;
  }
};

void check_answer(const std::vector<uint8_t>& frame) {
  if (frame.size() < 2 || static_cast<size_t>(frame[0]) * 256 + frame[1] != frame.size() - 2) abort();
  SharedDict__RecvInfo* answer = shared_dict__recv_info__unpack(nullptr, frame.size() - 2, frame.data() + 2);
  if (answer == nullptr) abort();
  const bool has_message = answer->message != nullptr;
  if (static_cast<bool>(answer->success) != has_message || answer->payload != nullptr) abort();
  if (answer->hashsum != nullptr && answer->hashsum[0] != '\0' && std::string(answer->hashsum).size() != 40) abort();
  shared_dict__recv_info__free_unpacked(answer, nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness* harness = new Harness;
  static uint64_t runs = 0;
  SlabPool* pool = harness->store.pool();
  if (size == 0) return 0;
  const size_t piece = static_cast<size_t>(data[0] % 64) + 1;
  RequestBatch batch(pool, PeerIdentity{getpid(), geteuid(), getegid()});
  FrameReader reader;
  for (size_t at = 1; at < size; at += piece) {
    const size_t n = std::min(piece, size - at);
    if (!reader.feed({data + at, n}, [&](std::span<const uint8_t> body) { return batch.run_body(body); })) break;
  }
  check_answer(batch.answer_frame());
  if (++runs % 64 == 0) {
    std::string problem = testing::entry_store_check(pool);
    if (!problem.empty()) {
      fprintf(stderr, "store inconsistent: %s\n", problem.c_str());
      abort();
    }
    rbtree_purge(pool, delete_ipaddr_by_node_locked);  // keep the store from filling up
  }
  return 0;
}
