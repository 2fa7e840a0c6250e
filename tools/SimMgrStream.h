#ifndef SIM_MGR_STREAM_H
#define SIM_MGR_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/SimMgrMessage.h"

// Cuts the bytes a simulator sends into messages as they arrive, for a
// manager that reads many connections without blocking: Append what a
// receive returned, then take messages with Next until it asks for more.
// Once the stream is broken (a length no message has, or a body that does
// not decode) it stays broken.
class SimMgrStream {
 public:
  enum Result { kMessage, kNeedMore, kBroken };

  // `maxLength` bounds the length field of a data record.
  explicit SimMgrStream(uint32_t maxLength) : maxLength(maxLength), start(0), broken(false) {}

  void Append(const unsigned char* data, size_t n);
  Result Next(SimMgrMessage& message);

  // Bytes received and not yet returned as a message.
  size_t Buffered() const { return buffer.size() - start; }
  const std::string& Error() const { return error; }

 private:
  uint32_t maxLength;
  std::vector<unsigned char> buffer;
  size_t start;  // first byte not yet consumed
  bool broken;
  std::string error;
};

#endif
