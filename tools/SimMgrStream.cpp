#include "tools/SimMgrStream.h"

#include "tools/ByteReader.h"

void SimMgrStream::Append(const unsigned char* data, size_t n) {
  if (broken || n == 0) return;
  // Consumed bytes are dropped once they make up half the buffer, so the
  // buffer stays near the size of one record.
  if (start > 0 && start * 2 >= buffer.size()) {
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(start));
    start = 0;
  }
  buffer.insert(buffer.end(), data, data + n);
}

SimMgrStream::Result SimMgrStream::Next(SimMgrMessage& message) {
  if (broken) return kBroken;
  if (Buffered() < 4) return kNeedMore;
  uint32_t length = 0;
  ByteReader(buffer.data() + start, 4).ReadU32(length);
  size_t bodySize = 0;
  if (!SimMgrMessage::BodySize(length, maxLength, bodySize, error)) {
    broken = true;
    return kBroken;
  }
  if (Buffered() < 4 + bodySize) return kNeedMore;
  if (!SimMgrMessage::Decode(length, buffer.data() + start + 4, bodySize, message, error)) {
    broken = true;
    return kBroken;
  }
  start += 4 + bodySize;
  if (start == buffer.size()) {
    buffer.clear();
    start = 0;
  }
  return kMessage;
}
