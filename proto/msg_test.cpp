// The generated SharedDict code as the dispatcher and the clients use it: field numbers on the wire,
// unknown action numbers accepted by the decoder, and the required action.
#include "proto/msg.pb-c.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace quillmap {
namespace {

struct SendInfoDeleter {
  void operator()(SharedDict__SendInfo* m) const { shared_dict__send_info__free_unpacked(m, nullptr); }
};
using SendInfoPtr = std::unique_ptr<SharedDict__SendInfo, SendInfoDeleter>;

std::vector<uint8_t> pack(const SharedDict__SendInfo& m) {
  std::vector<uint8_t> out(shared_dict__send_info__get_packed_size(&m));
  shared_dict__send_info__pack(&m, out.data());
  return out;
}

TEST(MsgTest, SendInfoRoundTripUsesTheWireFieldNumbers) {
  SharedDict__SendInfo m = SHARED_DICT__SEND_INFO__INIT;
  m.action = SHARED_DICT__SEND_INFO__ACTION__ADD;
  m.key = const_cast<char*>("k");
  m.has_ktype = 1;
  m.ktype = SHARED_DICT__SEND_INFO__KEY_TYPE__IPADDR;
  m.value = const_cast<char*>("v");
  m.has_expires = 1;
  m.expires = 300;
  std::vector<uint8_t> wire = pack(m);
  // action=1 varint 2; key=2 "k"; ktype=3 varint 2; value=4 "v"; expires=5 varint 300.
  std::vector<uint8_t> expected = {0x08, 0x02, 0x12, 0x01, 'k', 0x18, 0x02, 0x22, 0x01, 'v', 0x28, 0xac, 0x02};
  EXPECT_EQ(wire, expected);

  SendInfoPtr back(shared_dict__send_info__unpack(nullptr, wire.size(), wire.data()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->action, SHARED_DICT__SEND_INFO__ACTION__ADD);
  EXPECT_STREQ(back->key, "k");
  EXPECT_TRUE(back->has_ktype);
  EXPECT_STREQ(back->value, "v");
  EXPECT_EQ(back->expires, 300u);
}

TEST(MsgTest, DecoderAcceptsActionNumbersOutsideTheEnum) {
  for (uint8_t action : {0, 10, 127}) {
    const uint8_t wire[] = {0x08, action};
    SendInfoPtr m(shared_dict__send_info__unpack(nullptr, sizeof wire, wire));
    ASSERT_TRUE(m) << int(action);
    EXPECT_EQ(static_cast<int>(m->action), action);
    EXPECT_EQ(m->key, nullptr);
    EXPECT_FALSE(m->has_ktype);
  }
}

TEST(MsgTest, MissingActionDoesNotDecode) {
  const uint8_t key_only[] = {0x12, 0x01, 'k'};
  EXPECT_EQ(shared_dict__send_info__unpack(nullptr, sizeof key_only, key_only), nullptr);
  EXPECT_EQ(shared_dict__send_info__unpack(nullptr, 0, key_only), nullptr);
}

TEST(MsgTest, EmptyAnswerPacksToTwoBytes) {
  SharedDict__RecvInfo answer = SHARED_DICT__RECV_INFO__INIT;
  ASSERT_EQ(shared_dict__recv_info__get_packed_size(&answer), 2u);
  uint8_t out[2];
  shared_dict__recv_info__pack(&answer, out);
  EXPECT_EQ(out[0], 0x08);
  EXPECT_EQ(out[1], 0x00);
}

TEST(MsgTest, AnswerWithInfoAndHashRoundTrips) {
  SharedDict__InfoData info = SHARED_DICT__INFO_DATA__INIT;
  info.pages_total = 1;
  info.pages_free = 2;
  info.bytes_total = 3;
  info.bytes_alloc = 4;
  info.bytes_used = 5;
  SharedDict__RecvInfo answer = SHARED_DICT__RECV_INFO__INIT;
  answer.success = 1;
  answer.message = const_cast<char*>("7 affected entries");
  answer.info = &info;
  answer.hashsum = const_cast<char*>("");
  std::vector<uint8_t> wire(shared_dict__recv_info__get_packed_size(&answer));
  shared_dict__recv_info__pack(&answer, wire.data());
  SharedDict__RecvInfo* back = shared_dict__recv_info__unpack(nullptr, wire.size(), wire.data());
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->success);
  EXPECT_STREQ(back->message, "7 affected entries");
  ASSERT_NE(back->info, nullptr);
  EXPECT_EQ(back->info->bytes_used, 5);
  EXPECT_STREQ(back->hashsum, "");
  EXPECT_EQ(back->payload, nullptr);
  shared_dict__recv_info__free_unpacked(back, nullptr);
}

}  // namespace
}  // namespace quillmap
