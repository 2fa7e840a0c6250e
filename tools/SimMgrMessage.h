#ifndef SIM_MGR_MESSAGE_H
#define SIM_MGR_MESSAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One message a simulator sends to its manager, decoded.
//
// Wire layouts (big-endian), each starting with a 32-bit length field:
//   reply / greeting  length 10 (the whole message): marker 0xFF, or 0xFE for
//                     the quit reply; command byte; 32-bit process id.
//   CPU-time record   length 12 (the bytes after the length field): 0xFE;
//                     client byte; 16-bit experiment; double CPU seconds.
//   data record       length L = 9 + 7a + 8b (the whole record): client
//                     byte; 16-bit experiment; 16-bit block count a; then a
//                     blocks of 16-bit variable index, kind byte, 32-bit
//                     count, count doubles (b = the sum of the counts).
//
// The byte after the length field alone does not tell the kinds apart: the
// quit reply carries 0xFE there as well, and so does a data record of client
// 254. The length field does: 9 + 7a + 8b is never 10 or 12, so length 10 is
// always a reply and 12 always a CPU-time record, and the marker byte is then
// checked.
struct SimMgrMessage {
  enum Kind { kReply, kCpuTime, kData };

  // One row of observations of a data record.
  struct Block {
    int variable = 0;
    int kind = 0;  // 1 values, 2 squared values
    std::vector<double> values;
  };

  Kind kind = kReply;
  // The length field as received.
  uint32_t length = 0;

  // kReply
  int marker = 0;
  int command = 0;
  unsigned long pid = 0;

  // kCpuTime and kData
  int clientId = 0;
  int experiment = 0;
  double cpuSeconds = 0.0;  // kCpuTime
  std::vector<Block> blocks;  // kData

  // Bytes that follow a length field of `length` for each kind of message:
  // 6 for a reply, 12 for a CPU-time record, length - 4 for a data record.
  // Returns false when no message has that length (a data record is at
  // least 9 bytes long, or the length exceeds `maxLength`).
  static bool BodySize(uint32_t length, uint32_t maxLength, size_t& bodySize, std::string& error);

  // Decodes the bytes after a length field of `length`. On failure returns
  // false and says what was wrong in `error`; `message` is then unspecified.
  static bool Decode(uint32_t length, const unsigned char* body, size_t bodySize,
                     SimMgrMessage& message, std::string& error);
};

#endif
