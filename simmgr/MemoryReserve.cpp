#include "simmgr/MemoryReserve.h"

#include <cstdlib>
#include <new>

namespace {

// Above the C library's threshold for a mapping of its own: giving it back
// returns address space, which a ulimit -v counts.
constexpr std::size_t kReserveBytes = std::size_t{256} << 10;

void* reserve = nullptr;

void GiveBack() {
  std::free(reserve);
  reserve = nullptr;
  // The next failure throws at once; Arm() installs this again.
  std::set_new_handler(nullptr);
  throw std::bad_alloc();
}

}  // namespace

namespace MemoryReserve {

bool Arm() {
  if (reserve != nullptr) return true;
  reserve = std::malloc(kReserveBytes);
  if (reserve == nullptr) return false;
  // Touched, so that the pages are there when the reserve is handed back
  // and taken again by the allocations that follow.
  static_cast<volatile char*>(reserve)[0] = 0;
  std::set_new_handler(GiveBack);
  return true;
}

}  // namespace MemoryReserve
