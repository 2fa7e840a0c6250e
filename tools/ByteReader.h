#ifndef BYTE_READER_H
#define BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// Reads big-endian fields from a byte range it does not own. A read past the
// end fails and leaves the position unchanged.
class ByteReader {
 public:
  ByteReader(const unsigned char* data, size_t size) : data(data), size(size), position(0) {}

  size_t Remaining() const { return size - position; }

  bool ReadU8(uint8_t& value) {
    if (Remaining() < 1) return false;
    value = data[position++];
    return true;
  }

  bool ReadU16(uint16_t& value) {
    if (Remaining() < 2) return false;
    value = static_cast<uint16_t>((data[position] << 8) | data[position + 1]);
    position += 2;
    return true;
  }

  bool ReadU32(uint32_t& value) {
    if (Remaining() < 4) return false;
    value = (static_cast<uint32_t>(data[position]) << 24) |
            (static_cast<uint32_t>(data[position + 1]) << 16) |
            (static_cast<uint32_t>(data[position + 2]) << 8) | data[position + 3];
    position += 4;
    return true;
  }

  // An IEEE 754 binary64 value, most significant byte first.
  bool ReadDouble(double& value) {
    if (Remaining() < 8) return false;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | data[position + i];
    std::memcpy(&value, &bits, sizeof(value));
    position += 8;
    return true;
  }

 private:
  const unsigned char* data;
  size_t size;
  size_t position;
};

#endif
