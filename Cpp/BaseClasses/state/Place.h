#ifndef PLACE_H
#define PLACE_H

#include "Cpp/BaseClasses/state/SharableSV.h"

// A stochastic activity network place: a shareable 16-bit marking. mark is a
// registered pointer, so it always leads to the group's shared storage.
class Place : public SharableSV<short> {
 public:
  Place();
  explicit Place(const char* name);
  Place(const char* name, short initialMark);

  short getMark() const { return *mark; }
  void setMark(short m) { *mark = m; }
  void test() {}

  short* mark;
};

#endif
