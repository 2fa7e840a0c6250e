#include "tools/SimMgrMessage.h"

#include <gtest/gtest.h>

#include "tests/tools/FakeSimulator.h"

namespace {

// Client 3, experiment 0, counts (2, 0, 1): rows 0 and 2 with 0.5, 1.0 and
// 0.25; L = 9 + 7*2 + 8*3 = 47.
const Bytes kDataRecord = {
    0x00, 0x00, 0x00, 0x2F, 0x03, 0x00, 0x00, 0x00, 0x02,                    //
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,                                //
    0x3F, 0xE0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          //
    0x3F, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          //
    0x00, 0x02, 0x01, 0x00, 0x00, 0x00, 0x01,                                //
    0x3F, 0xD0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// Client 3, experiment 0, 1.25 CPU seconds.
const Bytes kCpuTimeRecord = {0x00, 0x00, 0x00, 0x0C, 0xFE, 0x03, 0x00, 0x00,
                              0x3F, 0xF4, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// Decodes a whole message (length field included).
bool DecodeAll(const Bytes& bytes, SimMgrMessage& message, std::string& error) {
  const uint32_t length = (static_cast<uint32_t>(bytes[0]) << 24) | (bytes[1] << 16) |
                          (bytes[2] << 8) | bytes[3];
  return SimMgrMessage::Decode(length, bytes.data() + 4, bytes.size() - 4, message, error);
}

TEST(SimMgrMessageTest, DecodesTheRecordsOfAHandOver) {
  ASSERT_EQ(47u, kDataRecord.size());
  SimMgrMessage message;
  std::string error;
  ASSERT_TRUE(DecodeAll(kDataRecord, message, error)) << error;
  EXPECT_EQ(SimMgrMessage::kData, message.kind);
  EXPECT_EQ(47u, message.length);
  EXPECT_EQ(3, message.clientId);
  EXPECT_EQ(0, message.experiment);
  ASSERT_EQ(2u, message.blocks.size());
  EXPECT_EQ(0, message.blocks[0].variable);
  EXPECT_EQ(1, message.blocks[0].kind);
  EXPECT_EQ((std::vector<double>{0.5, 1.0}), message.blocks[0].values);
  EXPECT_EQ(2, message.blocks[1].variable);
  EXPECT_EQ(1, message.blocks[1].kind);
  EXPECT_EQ((std::vector<double>{0.25}), message.blocks[1].values);

  ASSERT_TRUE(DecodeAll(kCpuTimeRecord, message, error)) << error;
  EXPECT_EQ(SimMgrMessage::kCpuTime, message.kind);
  EXPECT_EQ(3, message.clientId);
  EXPECT_EQ(0, message.experiment);
  EXPECT_EQ(1.25, message.cpuSeconds);
  EXPECT_TRUE(message.blocks.empty());
}

TEST(SimMgrMessageTest, TheLengthFieldTellsTheKindsApartWhereTheMarkerCannot) {
  SimMgrMessage message;
  std::string error;
  // Client 254 puts 0xFE right after the length field, like a CPU-time
  // record; with no rows its length is 9.
  ASSERT_TRUE(DecodeAll({0x00, 0x00, 0x00, 0x09, 0xFE, 0x01, 0x02, 0x00, 0x00}, message, error))
      << error;
  EXPECT_EQ(SimMgrMessage::kData, message.kind);
  EXPECT_EQ(254, message.clientId);
  EXPECT_EQ(0x0102, message.experiment);
  EXPECT_TRUE(message.blocks.empty());

  // The quit reply also carries 0xFE there.
  ASSERT_TRUE(DecodeAll(Reply(0xFE, 2, 0x01020304), message, error)) << error;
  EXPECT_EQ(SimMgrMessage::kReply, message.kind);
  EXPECT_EQ(0xFE, message.marker);
  EXPECT_EQ(2, message.command);
  EXPECT_EQ(0x01020304u, message.pid);

  // Experiments are 16 bits on the wire, client ids 8.
  Bytes cpu = kCpuTimeRecord;
  cpu[5] = 0xFF;
  cpu[6] = 0xAB;
  cpu[7] = 0xCD;
  ASSERT_TRUE(DecodeAll(cpu, message, error)) << error;
  EXPECT_EQ(255, message.clientId);
  EXPECT_EQ(0xABCD, message.experiment);
}

TEST(SimMgrMessageTest, RejectsMalformedMessagesWithAReason) {
  SimMgrMessage message;
  std::string error;
  size_t bodySize = 0;
  struct Case {
    const char* what;
    Bytes bytes;
  };
  Bytes wrongMarker = kCpuTimeRecord;
  wrongMarker[4] = 0xFF;
  Bytes badKind = kDataRecord;
  badKind[11] = 3;
  Bytes emptyRow = {0x00, 0x00, 0x00, 0x10, 0x03, 0x00, 0x00, 0x00, 0x01,
                    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
  Bytes countTooLarge = kDataRecord;
  countTooLarge[15] = 3;  // row 0 claims 3 observations; only 2 + 1 follow
  Bytes extraBlockCount = kDataRecord;
  extraBlockCount[8] = 3;
  Bytes trailing = kDataRecord;
  trailing[3] = 48;
  trailing.push_back(0);
  const Case cases[] = {
      {"CPU-time record without marker", wrongMarker},
      {"unknown reply command", Reply(0xFF, 5, 1)},
      {"quit reply with the wrong marker", Reply(0xFF, 2, 1)},
      {"status reply marked as quit", Reply(0xFE, 1, 1)},
      {"row of unknown kind", badKind},
      {"empty row", emptyRow},
      {"row longer than the record", countTooLarge},
      {"more rows announced than sent", extraBlockCount},
      {"bytes after the last row", trailing},
  };
  for (const Case& c : cases) {
    error.clear();
    EXPECT_FALSE(DecodeAll(c.bytes, message, error)) << c.what;
    EXPECT_FALSE(error.empty()) << c.what;
  }

  // Lengths no message has.
  for (uint32_t length : {0u, 4u, 8u, 0xFFFFFFFFu}) {
    error.clear();
    EXPECT_FALSE(SimMgrMessage::BodySize(length, 1u << 20, bodySize, error)) << length;
    EXPECT_NE(std::string::npos, error.find("length")) << length;
  }
  EXPECT_TRUE(SimMgrMessage::BodySize(10, 1u << 20, bodySize, error));
  EXPECT_EQ(6u, bodySize);
  EXPECT_TRUE(SimMgrMessage::BodySize(12, 1u << 20, bodySize, error));
  EXPECT_EQ(12u, bodySize);
  EXPECT_TRUE(SimMgrMessage::BodySize(47, 1u << 20, bodySize, error));
  EXPECT_EQ(43u, bodySize);

  // A body that does not match its length field.
  EXPECT_FALSE(SimMgrMessage::Decode(47, kDataRecord.data() + 4, 40, message, error));
}

}  // namespace
