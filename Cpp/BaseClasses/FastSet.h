#ifndef FAST_SET_H
#define FAST_SET_H

#include <set>

// A set of ints built in two phases: an ordered set that accepts insertions
// and lookups, then, after NoMoreModifications(), a frozen ascending array
// that can only be counted, indexed and cleared. Calling an operation in the
// wrong phase is an internal error that ends the process.
class FastSet {
 public:
  FastSet();
  FastSet(const FastSet&) = delete;
  FastSet& operator=(const FastSet&) = delete;
  ~FastSet();

  // Building phase.
  bool insert(const int& value);
  bool find(const int& value) const;
  bool empty() const;
  void NoMoreModifications();

  // Frozen phase. operator[] does not range-test i.
  int size() const;
  int& operator[](int i);

  // Either phase: empties the set; a frozen set stays frozen.
  void clear();

  bool frozen() const { return is_vec_rep; }

  // Constructions and freezes so far, process-wide.
  static int number1;
  static int number2;

 private:
  bool is_vec_rep;
  std::set<int>* building;  // building phase
  int* elements;            // frozen phase; null when empty
  int count;                // frozen phase
};

#endif
