#include "tools/SimMgrMessage.h"

#include "tools/ByteReader.h"

namespace {

constexpr uint32_t kReplyLength = 10;
constexpr uint32_t kCpuTimeLength = 12;
constexpr uint32_t kMinDataLength = 9;
constexpr uint8_t kReplyMarker = 0xFF;
constexpr uint8_t kQuitMarker = 0xFE;
constexpr uint8_t kCpuTimeMarker = 0xFE;

bool DecodeReply(ByteReader& in, SimMgrMessage& message, std::string& error) {
  uint8_t marker = 0;
  uint8_t command = 0;
  uint32_t pid = 0;
  in.ReadU8(marker);
  in.ReadU8(command);
  in.ReadU32(pid);
  // The quit reply is the only one marked 0xFE.
  const bool known = (marker == kReplyMarker && (command == 1 || command == 3)) ||
                     (marker == kQuitMarker && command == 2);
  if (!known) {
    error = "unknown reply: marker " + std::to_string(marker) + ", command " + std::to_string(command);
    return false;
  }
  message.kind = SimMgrMessage::kReply;
  message.marker = marker;
  message.command = command;
  message.pid = pid;
  return true;
}

bool DecodeCpuTime(ByteReader& in, SimMgrMessage& message, std::string& error) {
  uint8_t marker = 0;
  uint8_t client = 0;
  uint16_t experiment = 0;
  in.ReadU8(marker);
  if (marker != kCpuTimeMarker) {
    error = "CPU-time record without its 0xFE marker (found " + std::to_string(marker) + ")";
    return false;
  }
  in.ReadU8(client);
  in.ReadU16(experiment);
  in.ReadDouble(message.cpuSeconds);
  message.kind = SimMgrMessage::kCpuTime;
  message.clientId = client;
  message.experiment = experiment;
  return true;
}

bool DecodeData(ByteReader& in, SimMgrMessage& message, std::string& error) {
  uint8_t client = 0;
  uint16_t experiment = 0;
  uint16_t blockCount = 0;
  in.ReadU8(client);
  in.ReadU16(experiment);
  in.ReadU16(blockCount);
  message.kind = SimMgrMessage::kData;
  message.clientId = client;
  message.experiment = experiment;
  message.blocks.clear();
  for (int b = 0; b < blockCount; ++b) {
    uint16_t variable = 0;
    uint8_t kind = 0;
    uint32_t count = 0;
    if (!in.ReadU16(variable) || !in.ReadU8(kind) || !in.ReadU32(count)) {
      error = "data record ends inside the header of block " + std::to_string(b);
      return false;
    }
    if (kind != 1 && kind != 2) {
      error = "data record block " + std::to_string(b) + " has kind " + std::to_string(kind);
      return false;
    }
    // Writers send only rows holding observations.
    if (count == 0) {
      error = "data record block " + std::to_string(b) + " is empty";
      return false;
    }
    // Checked before allocating, so a corrupt count cannot ask for memory
    // the record does not carry.
    if (count > in.Remaining() / 8) {
      error = "data record block " + std::to_string(b) + " claims " + std::to_string(count) +
              " observations but the record ends first";
      return false;
    }
    SimMgrMessage::Block block;
    block.variable = variable;
    block.kind = kind;
    block.values.resize(count);
    for (uint32_t k = 0; k < count; ++k) in.ReadDouble(block.values[k]);
    message.blocks.push_back(std::move(block));
  }
  if (in.Remaining() != 0) {
    error = "data record has " + std::to_string(in.Remaining()) + " bytes after its last block";
    return false;
  }
  return true;
}

}  // namespace

bool SimMgrMessage::BodySize(uint32_t length, uint32_t maxLength, size_t& bodySize,
                             std::string& error) {
  if (length == kReplyLength) {
    bodySize = kReplyLength - 4;
  } else if (length == kCpuTimeLength) {
    bodySize = kCpuTimeLength;
  } else if (length < kMinDataLength || length > maxLength) {
    error = "no message has the length " + std::to_string(length);
    return false;
  } else {
    bodySize = length - 4;
  }
  return true;
}

bool SimMgrMessage::Decode(uint32_t length, const unsigned char* body, size_t bodySize,
                           SimMgrMessage& message, std::string& error) {
  size_t expected = 0;
  if (!BodySize(length, UINT32_MAX, expected, error)) return false;
  if (bodySize != expected) {
    error = "message of length " + std::to_string(length) + " needs " + std::to_string(expected) +
            " bytes after the length field, got " + std::to_string(bodySize);
    return false;
  }
  message = SimMgrMessage();
  message.length = length;
  ByteReader in(body, bodySize);
  if (length == kReplyLength) return DecodeReply(in, message, error);
  if (length == kCpuTimeLength) return DecodeCpuTime(in, message, error);
  return DecodeData(in, message, error);
}
