#include "simmgr/MemoryReserve.h"

#include <cstdlib>
#include <new>

namespace {

// Each part above the C library's threshold for a mapping of its own:
// giving it back returns address space, which a ulimit -v counts.
constexpr std::size_t kPartBytes = std::size_t{192} << 10;

void* parts[2] = {nullptr, nullptr};

void GiveBack() {
  if (parts[0] != nullptr) {
    std::free(parts[0]);
    parts[0] = nullptr;
    return;  // the allocation is tried again
  }
  std::free(parts[1]);
  parts[1] = nullptr;
  // The next failure throws at once; Arm() installs this again.
  std::set_new_handler(nullptr);
  throw std::bad_alloc();
}

}  // namespace

namespace MemoryReserve {

bool Arm() {
  for (void*& part : parts) {
    if (part != nullptr) continue;
    part = std::malloc(kPartBytes);
    if (part == nullptr) break;
    // Touched, so that its pages are there to be handed back and taken
    // again by the allocations that follow.
    static_cast<volatile char*>(part)[0] = 0;
  }
  if (parts[0] == nullptr && parts[1] == nullptr) return false;
  std::set_new_handler(GiveBack);
  return parts[0] != nullptr && parts[1] != nullptr;
}

}  // namespace MemoryReserve
