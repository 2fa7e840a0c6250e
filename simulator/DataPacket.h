#ifndef DATA_PACKET_H
#define DATA_PACKET_H

// One block of observations for every performance variable: row i holds the
// observations of variable i, `reportSize` columns wide, of which the first
// counts[i] are in use. The packet owns both arrays.
class DataPacket {
 public:
  // Allocates `counts` (all 0) and `values` (all 0.0); ends the process
  // through MemoryAllocationError when they cannot be had.
  // REQUIRES: numPVs >= 0 and reportSize >= 0.
  DataPacket(int clientId, int experiment, int numPVs, int reportSize);
  ~DataPacket();

  DataPacket(const DataPacket&) = delete;
  DataPacket& operator=(const DataPacket&) = delete;

  // counts[row] clamped to the row's width: the number of observations of
  // the row that may be read. Writers use it so that a count set beyond the
  // row never makes them read past `values`.
  int UsableCount(int row) const {
    const int count = counts[row];
    if (count < 0) return 0;
    return count > reportSize ? reportSize : count;
  }

  int clientId;
  int experiment;
  int numPVs;
  int reportSize;
  // Observations held in each row.
  int* counts;
  // Observation k of variable i at index i * reportSize + k.
  double* values;
};

#endif
