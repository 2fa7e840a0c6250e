// The saved-state reader fed arbitrary files, one state after another.
//
// Invariants: a state read is exactly the record's bytes (its size field
// within the state's room, the file position just after it) and writes
// back to the same bytes; a refused record leaves the state as it was and
// is truly unreadable (short, negative or too large a size, or the data
// cut short).

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Cpp/BaseClasses/SANModel.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// The bytes fwriteState writes for `state`.
std::string Written(SANModel::LocalState& state) {
  char* buffer = nullptr;
  size_t length = 0;
  FILE* out = open_memstream(&buffer, &length);
  FUZZ_CHECK(out != nullptr, "no memory stream");
  FUZZ_CHECK(state.fwriteState(out) == 0, "fwriteState failed on a memory stream");
  std::fclose(out);
  std::string bytes(buffer, length);
  std::free(buffer);
  return bytes;
}

int32_t LittleEndian32(const std::string& bytes, size_t at) {
  uint32_t u = 0;
  for (int k = 3; k >= 0; k--) u = (u << 8) | static_cast<unsigned char>(bytes[at + k]);
  return static_cast<int32_t>(u);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int capacity = in.ConsumeIntegralInRange<int>(0, 64);
  std::string file = in.ConsumeRemainingBytesAsString();

  SANModel::LocalState state(capacity);
  for (int k = 0; k < capacity; k++) state.data[k] = static_cast<char>(0xA5 ^ k);
  // fmemopen refuses an empty buffer on some C libraries: a file of one
  // byte more, never read past the real end, stands in.
  std::string backing = file + '\0';
  FILE* f = fmemopen(&backing[0], file.size() > 0 ? file.size() : 1, "rb");
  FUZZ_CHECK(f != nullptr, "fmemopen failed");
  if (file.empty()) std::fgetc(f);

  size_t at = 0;
  for (int record = 0; record < 64; record++) {
    const std::string before(state.data, static_cast<size_t>(capacity));
    const int sizeBefore = state.size;
    const int result = state.freadState(f);
    const size_t left = file.size() - at;
    if (result == 0) {
      FUZZ_CHECK(left >= 4, "a state read from fewer than 4 bytes");
      const int32_t stored = LittleEndian32(file, at);
      FUZZ_CHECK(stored >= 0 && stored <= capacity,
                 "size " + std::to_string(stored) + " accepted for room " + std::to_string(capacity));
      FUZZ_CHECK(state.size == stored, "size field not taken");
      FUZZ_CHECK(left >= 4 + static_cast<size_t>(stored), "a state read past the end of the file");
      FUZZ_CHECK(std::memcmp(state.data, file.data() + at + 4, static_cast<size_t>(stored)) == 0,
                 "state bytes differ from the record");
      FUZZ_CHECK(std::memcmp(state.data + stored, before.data() + stored,
                             static_cast<size_t>(capacity - stored)) == 0,
                 "bytes beyond the state's size changed");
      FUZZ_CHECK(std::ftell(f) == static_cast<long>(at + 4 + static_cast<size_t>(stored)),
                 "file position not just after the record");
      FUZZ_CHECK(Written(state) == file.substr(at, 4 + static_cast<size_t>(stored)),
                 "the state does not write back to the bytes it was read from");
      at += 4 + static_cast<size_t>(stored);
    } else {
      FUZZ_CHECK(state.size == sizeBefore, "a refused record changed the size");
      FUZZ_CHECK(std::string(state.data, static_cast<size_t>(capacity)) == before,
                 "a refused record changed the state");
      if (left >= 4) {
        const int32_t stored = LittleEndian32(file, at);
        FUZZ_CHECK(stored < 0 || stored > capacity || left < 4 + static_cast<size_t>(stored),
                   "a readable record was refused");
      }
      break;
    }
  }
  std::fclose(f);
  return 0;
}
