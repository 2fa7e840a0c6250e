#include "Cpp/BaseClasses/FastSet.h"

#include <algorithm>

#include "Cpp/BaseClasses/KorvanAssert.h"

int FastSet::number1 = 0;
int FastSet::number2 = 0;

FastSet::FastSet() : is_vec_rep(false), building(new std::set<int>), elements(nullptr), count(0) {
  number1++;
}

FastSet::~FastSet() {
  delete building;
  delete[] elements;
}

bool FastSet::insert(const int& value) {
  KORVAN_ASSERT(!is_vec_rep);
  return building->insert(value).second;
}

bool FastSet::find(const int& value) const {
  KORVAN_ASSERT(!is_vec_rep);
  return building->count(value) != 0;
}

bool FastSet::empty() const {
  KORVAN_ASSERT(!is_vec_rep);
  return building->empty();
}

void FastSet::NoMoreModifications() {
  KORVAN_ASSERT(!is_vec_rep);
  count = static_cast<int>(building->size());
  elements = count > 0 ? new int[count] : nullptr;
  std::copy(building->begin(), building->end(), elements);
  delete building;
  building = nullptr;
  is_vec_rep = true;
  number2++;
}

int FastSet::size() const {
  KORVAN_ASSERT(is_vec_rep);
  return count;
}

int& FastSet::operator[](int i) {
  KORVAN_ASSERT(is_vec_rep);
  return elements[i];
}

void FastSet::clear() {
  if (is_vec_rep) {
    delete[] elements;
    elements = nullptr;
    count = 0;
  } else {
    building->clear();
  }
}
