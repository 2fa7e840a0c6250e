#ifndef LIST_H
#define LIST_H

#include <cstdio>
#include <iostream>
#include <new>
#include <vector>

#include "Cpp/BaseClasses/ErrorReporting.h"

// A growable array of object pointers used as a set: a pointer is never held
// twice. The list owns its slot array, never the objects.
//
// Invariants: 0 <= numItems <= arraySize; slots at and after numItems are
// null after construction and after every growth. Items keep insertion order
// until a removal, which moves the last item into the freed slot.
template <class C>
class List {
 public:
  List() : List(10) {}
  explicit List(int n) {
    list = new (std::nothrow) C*[n > 0 ? n : 1]();
    if (list == nullptr) {
      arraySize = 0;
      MemoryAllocationError();
    }
    numItems = 0;
    arraySize = n;
  }
  // A list is copied only when handed to removeSetOfItems by value.
  List(const List& other) : List(other.arraySize) {
    for (int i = 0; i < other.numItems; i++) list[i] = other.list[i];
    numItems = other.numItems;
  }
  List& operator=(const List&) = delete;
  ~List() {
    delete[] list;
    list = nullptr;
  }

  // Grows to twice the size when full, then adds item unless already held.
  void append(C* item) {
    if (numItems >= arraySize) Grow(DoubledSize());
    AddUnique(item);
  }

  // Adds each of the count pointers in order as append(C*) does; returns count.
  int append(C** items, int count) {
    for (int i = 0; i < count; i++) {
      if (numItems >= arraySize) Grow(DoubledSize());
      AddUnique(items[i]);
    }
    return count;
  }

  // Grows to 2 x (held + incoming) first when the incoming items might not
  // fit, whether or not they are duplicates.
  void append(List<C>* other) {
    if (arraySize < numItems + other->numItems) Grow(2 * (numItems + other->numItems));
    for (int i = 0; i < other->numItems; i++) AddUnique(other->list[i]);
  }

  // REQUIRES: a free slot exists (the list does not grow here).
  void insertItem(C* item) { AddUnique(item); }

  void remove(C* item) {
    for (int i = 0; i < numItems; i++) {
      if (list[i] == item) {
        list[i] = list[numItems - 1];
        numItems--;
        return;
      }
    }
  }

  // oldItem's slot takes newItem, or, when newItem is already held, oldItem
  // is removed so that one copy of newItem remains.
  void replaceItem(C* oldItem, C* newItem) {
    int oldIndex = -1;
    int newIndex = -1;
    for (int i = 0; i < numItems && (oldIndex < 0 || newIndex < 0); i++) {
      if (oldIndex < 0 && list[i] == oldItem) oldIndex = i;
      if (newIndex < 0 && list[i] == newItem) newIndex = i;
    }
    if (oldIndex < 0) return;
    if (newIndex < 0) {
      list[oldIndex] = newItem;
    } else {
      list[oldIndex] = list[numItems - 1];
      numItems--;
    }
  }

  // Removes every held item that other holds (each entry of other cancels at
  // most one held item); the remaining items keep their order.
  void removeSetOfItems(List<C> other) {
    std::vector<bool> cancelled(other.numItems, false);
    int kept = 0;
    for (int i = 0; i < numItems; i++) {
      bool drop = false;
      for (int j = 0; j < other.numItems; j++) {
        if (!cancelled[j] && other.list[j] == list[i]) {
          cancelled[j] = true;
          drop = true;
          break;
        }
      }
      if (!drop) list[kept++] = list[i];
    }
    for (int i = kept; i < numItems; i++) list[i] = nullptr;
    numItems = kept;
  }

  bool contains(C* item) const {
    for (int i = 0; i < numItems; i++) {
      if (list[i] == item) return true;
    }
    return false;
  }

  C* getItem(int i) const { return list[i]; }
  C* operator[](int i) const { return list[i]; }
  int getNumItems() const { return numItems; }
  int getArraySize() const { return arraySize; }
  C** getList() const { return list; }

  // Stale pointers stay in the slots and are overwritten by later additions.
  void clearList() { numItems = 0; }

  // Never drops held items: a size below numItems is taken as numItems.
  void increaseArraySize(int n) { Grow(n < numItems ? numItems : n); }

  void printList() const {
    if (numItems == 0) std::cout << "No items in the list" << std::endl;
    for (int i = 0; i < numItems; i++) {
      std::cout << "[" << i << "] " << static_cast<const void*>(list[i]) << std::endl;
    }
  }

 private:
  // Twice the current size; an empty-capacity list grows to one slot, since
  // doubling zero would leave no room for the item being added.
  int DoubledSize() const { return arraySize > 0 ? 2 * arraySize : 1; }

  void AddUnique(C* item) {
    for (int i = 0; i < numItems; i++) {
      if (list[i] == item) return;
    }
    list[numItems++] = item;
  }

  void Grow(int newSize) {
    C** grown = new (std::nothrow) C*[newSize > 0 ? newSize : 1]();
    if (grown == nullptr) {
      std::cerr << "!! Crtical error in " << "List<C>::append(List*)"
                << " do to insufficient memory...exiting" << std::endl;
      MemoryAllocationError();
    }
    for (int i = 0; i < numItems; i++) grown[i] = list[i];
    delete[] list;
    list = grown;
    arraySize = newSize;
  }

  C** list;
  int numItems;
  int arraySize;
};

#endif
