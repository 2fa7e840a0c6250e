#include "tools/SimMgrStream.h"

#include <gtest/gtest.h>

#include "tests/tools/FakeSimulator.h"

namespace {

// Greeting, CPU-time record and a data record of one row with 0.5 and 1.0
// (L = 9 + 7 + 16 = 32), as one simulator sends them.
Bytes Conversation() {
  Bytes bytes = Reply(0xFF, 1, 4711);
  const Bytes cpu = {0x00, 0x00, 0x00, 0x0C, 0xFE, 0x03, 0x00, 0x07,
                     0x3F, 0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  bytes.insert(bytes.end(), cpu.begin(), cpu.end());
  PutU32(bytes, 32);
  bytes.push_back(3);
  PutU16(bytes, 7);
  PutU16(bytes, 1);
  PutU16(bytes, 2);
  bytes.push_back(1);
  PutU32(bytes, 2);
  PutDouble(bytes, 0.5);
  PutDouble(bytes, 1.0);
  return bytes;
}

}  // namespace

// However the bytes are cut by the network, the same three messages come
// out, and nothing is returned before it is complete.
TEST(SimMgrStreamTest, MessagesComeOutWhateverTheChunks) {
  const Bytes bytes = Conversation();
  for (size_t chunk : {size_t(1), size_t(3), size_t(7), size_t(11), bytes.size()}) {
    SimMgrStream stream(1 << 20);
    std::vector<SimMgrMessage> messages;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      stream.Append(bytes.data() + at, std::min(chunk, bytes.size() - at));
      SimMgrMessage message;
      SimMgrStream::Result result;
      while ((result = stream.Next(message)) == SimMgrStream::kMessage) messages.push_back(message);
      ASSERT_EQ(result, SimMgrStream::kNeedMore) << stream.Error();
    }
    ASSERT_EQ(messages.size(), 3u) << "chunk " << chunk;
    EXPECT_EQ(stream.Buffered(), 0u);
    EXPECT_EQ(messages[0].kind, SimMgrMessage::kReply);
    EXPECT_EQ(messages[0].pid, 4711u);
    EXPECT_EQ(messages[1].kind, SimMgrMessage::kCpuTime);
    EXPECT_EQ(messages[1].cpuSeconds, 1.25);
    EXPECT_EQ(messages[1].experiment, 7);
    ASSERT_EQ(messages[2].kind, SimMgrMessage::kData);
    ASSERT_EQ(messages[2].blocks.size(), 1u);
    EXPECT_EQ(messages[2].blocks[0].variable, 2);
    EXPECT_EQ(messages[2].blocks[0].values, (std::vector<double>{0.5, 1.0}));
  }
}

// A length no message has, one beyond the limit, or a body that does not
// decode breaks the stream for good, even if good bytes follow.
TEST(SimMgrStreamTest, BrokenStreamsStayBroken) {
  SimMgrMessage message;
  SimMgrStream junk(1 << 20);
  junk.Append(Bytes{0, 0, 0, 5, 'j'}.data(), 5);
  EXPECT_EQ(junk.Next(message), SimMgrStream::kBroken);
  EXPECT_NE(junk.Error().find("length 5"), std::string::npos) << junk.Error();
  const Bytes good = Conversation();
  junk.Append(good.data(), good.size());
  EXPECT_EQ(junk.Next(message), SimMgrStream::kBroken);

  SimMgrStream limited(31);
  const Bytes bytes = Conversation();
  limited.Append(bytes.data(), bytes.size());
  EXPECT_EQ(limited.Next(message), SimMgrStream::kMessage);
  EXPECT_EQ(limited.Next(message), SimMgrStream::kMessage);
  EXPECT_EQ(limited.Next(message), SimMgrStream::kBroken);

  SimMgrStream badReply(1 << 20);
  const Bytes reply = Reply(0xFF, 9, 1);
  badReply.Append(reply.data(), reply.size());
  EXPECT_EQ(badReply.Next(message), SimMgrStream::kBroken);
}
