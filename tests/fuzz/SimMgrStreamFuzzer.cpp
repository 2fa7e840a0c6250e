// The manager's record decoder fed arbitrary simulator output, cut anywhere.
//
// Invariants: every message decoded re-encodes to exactly the bytes it was
// decoded from, in order, with nothing skipped; how the bytes were cut does
// not change the messages, the end state or the bytes left over; a broken
// stream says why and stays broken. Decode on its own agrees with the
// stream.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/FuzzSupport.h"
#include "tools/SimMgrMessage.h"
#include "tools/SimMgrStream.h"

namespace {

void PutU8(std::string& out, unsigned value) { out.push_back(static_cast<char>(value & 0xFF)); }

void PutU16(std::string& out, unsigned value) {
  PutU8(out, value >> 8);
  PutU8(out, value);
}

void PutU32(std::string& out, uint32_t value) {
  PutU16(out, value >> 16);
  PutU16(out, value & 0xFFFF);
}

void PutDouble(std::string& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  PutU32(out, static_cast<uint32_t>(bits >> 32));
  PutU32(out, static_cast<uint32_t>(bits));
}

// The wire bytes of `message`, its length field computed from its content.
std::string Encode(const SimMgrMessage& message) {
  std::string out;
  switch (message.kind) {
    case SimMgrMessage::kReply:
      PutU32(out, 10);
      PutU8(out, static_cast<unsigned>(message.marker));
      PutU8(out, static_cast<unsigned>(message.command));
      PutU32(out, static_cast<uint32_t>(message.pid));
      break;
    case SimMgrMessage::kCpuTime:
      PutU32(out, 12);
      PutU8(out, 0xFE);
      PutU8(out, static_cast<unsigned>(message.clientId));
      PutU16(out, static_cast<unsigned>(message.experiment));
      PutDouble(out, message.cpuSeconds);
      break;
    case SimMgrMessage::kData: {
      uint64_t length = 9;
      for (const SimMgrMessage::Block& block : message.blocks) {
        length += 7 + 8 * static_cast<uint64_t>(block.values.size());
      }
      FUZZ_CHECK(length <= UINT32_MAX, "data record too long to encode");
      PutU32(out, static_cast<uint32_t>(length));
      PutU8(out, static_cast<unsigned>(message.clientId));
      PutU16(out, static_cast<unsigned>(message.experiment));
      PutU16(out, static_cast<unsigned>(message.blocks.size()));
      for (const SimMgrMessage::Block& block : message.blocks) {
        FUZZ_CHECK(block.kind == 1 || block.kind == 2, "block of kind " + std::to_string(block.kind));
        FUZZ_CHECK(!block.values.empty(), "empty block accepted");
        PutU16(out, static_cast<unsigned>(block.variable));
        PutU8(out, static_cast<unsigned>(block.kind));
        PutU32(out, static_cast<uint32_t>(block.values.size()));
        for (double v : block.values) PutDouble(out, v);
      }
      break;
    }
  }
  return out;
}

struct Outcome {
  std::vector<std::string> messages;  // re-encoded
  SimMgrStream::Result last = SimMgrStream::kNeedMore;
  size_t buffered = 0;
};

// Takes every message the stream has; checks each against its length field.
void Drain(SimMgrStream& stream, Outcome& outcome) {
  SimMgrMessage message;
  for (;;) {
    const SimMgrStream::Result result = stream.Next(message);
    outcome.last = result;
    if (result != SimMgrStream::kMessage) break;
    std::string bytes = Encode(message);
    FUZZ_CHECK(message.length == (static_cast<uint32_t>(static_cast<unsigned char>(bytes[0])) << 24 |
                                  static_cast<uint32_t>(static_cast<unsigned char>(bytes[1])) << 16 |
                                  static_cast<uint32_t>(static_cast<unsigned char>(bytes[2])) << 8 |
                                  static_cast<unsigned char>(bytes[3])),
               "length field " + std::to_string(message.length) + " does not match the content");
    outcome.messages.push_back(std::move(bytes));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t maxLength = in.ConsumeIntegralInRange<uint32_t>(0, 1 << 16);
  std::vector<size_t> cuts(in.ConsumeIntegralInRange<size_t>(0, 12));
  for (size_t& cut : cuts) cut = in.ConsumeIntegralInRange<size_t>(0, 80);
  const std::string bytes = in.ConsumeRemainingBytesAsString();
  const unsigned char* raw = reinterpret_cast<const unsigned char*>(bytes.data());

  // All at once.
  SimMgrStream whole(maxLength);
  whole.Append(raw, bytes.size());
  Outcome once;
  Drain(whole, once);
  once.buffered = whole.Buffered();

  // The decoded messages are the input's bytes, in order, nothing skipped.
  std::string decoded;
  for (const std::string& m : once.messages) decoded += m;
  FUZZ_CHECK(bytes.compare(0, decoded.size(), decoded) == 0,
             "re-encoded messages differ from the bytes they came from");
  if (once.last == SimMgrStream::kBroken) {
    FUZZ_CHECK(!whole.Error().empty(), "broken without a reason");
    SimMgrMessage message;
    whole.Append(raw, bytes.size());
    FUZZ_CHECK(whole.Next(message) == SimMgrStream::kBroken, "a broken stream recovered");
  } else {
    FUZZ_CHECK(decoded.size() + once.buffered == bytes.size(),
               "bytes lost: " + std::to_string(decoded.size()) + " decoded + " +
                   std::to_string(once.buffered) + " buffered of " + std::to_string(bytes.size()));
  }

  // The same bytes in pieces: the same messages and the same end.
  SimMgrStream pieces(maxLength);
  Outcome cut;
  size_t at = 0;
  for (size_t k = 0; at < bytes.size() && cut.last != SimMgrStream::kBroken; k++) {
    const size_t n = k < cuts.size() ? std::min(cuts[k], bytes.size() - at) : bytes.size() - at;
    pieces.Append(raw + at, n);
    at += n;
    Drain(pieces, cut);
  }
  if (bytes.empty()) Drain(pieces, cut);
  cut.buffered = pieces.Buffered();
  FUZZ_CHECK(cut.messages == once.messages, "the cuts changed the messages");
  FUZZ_CHECK(cut.last == once.last, "the cuts changed how the stream ends");
  if (once.last != SimMgrStream::kBroken) {
    FUZZ_CHECK(cut.buffered == once.buffered, "the cuts changed the bytes left over");
  }

  // Decode alone, on the first length field and what follows it, agrees
  // with the stream about the first message.
  if (bytes.size() >= 4) {
    const uint32_t length = static_cast<uint32_t>(raw[0]) << 24 | static_cast<uint32_t>(raw[1]) << 16 |
                            static_cast<uint32_t>(raw[2]) << 8 | raw[3];
    SimMgrMessage message;
    std::string error;
    const bool ok = SimMgrMessage::Decode(length, raw + 4, bytes.size() - 4, message, error);
    if (ok) {
      FUZZ_CHECK(Encode(message) == bytes, "Decode accepted bytes it does not re-encode to");
    } else {
      FUZZ_CHECK(!error.empty(), "Decode refused without a reason");
    }
    if (ok && (length == 10 || length == 12 || length <= maxLength)) {
      FUZZ_CHECK(once.messages.size() == 1 && once.messages[0] == bytes,
                 "the stream and Decode disagree about a whole-input message");
    }
  }
  return 0;
}
