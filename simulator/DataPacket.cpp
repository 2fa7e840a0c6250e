#include "simulator/DataPacket.h"

#include <cstddef>
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
  values = new (std::nothrow) double[cells]();
  if (counts == nullptr || values == nullptr) MemoryAllocationError();
}

DataPacket::~DataPacket() {
  delete[] counts;
  delete[] values;
}
