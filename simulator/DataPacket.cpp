#include "simulator/DataPacket.h"

#include <cstddef>
#include <cstdlib>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"

DataPacket::DataPacket(int clientId, int experiment, int numPVs, int reportSize)
    : clientId(clientId),
      experiment(experiment),
      numPVs(numPVs),
      reportSize(reportSize),
      counts(nullptr),
      values(nullptr) {
  KORVAN_ASSERT(numPVs >= 0 && reportSize >= 0);
  // The product is formed in size_t: numPVs * reportSize may not fit an int.
  const size_t cells = static_cast<size_t>(numPVs) * static_cast<size_t>(reportSize);
  counts = new (std::nothrow) int[numPVs]();
  // Zeroed by the allocator: a large block comes as fresh zero pages that
  // take memory only once written, so a report size far beyond the
  // observations a run makes (-n 100000000 -N 2) costs neither the memory
  // nor the time of clearing it.
  values = static_cast<double*>(std::calloc(cells > 0 ? cells : 1, sizeof(double)));
  if (counts == nullptr || values == nullptr) MemoryAllocationError();
}

DataPacket::~DataPacket() {
  delete[] counts;
  std::free(values);
}
