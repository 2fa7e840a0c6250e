#ifndef STATE_H
#define STATE_H

#include <cstdio>

class BaseModelClass;

// A snapshot of one model's own state as a flat byte image.
class State {
 public:
  State() = default;
  State(const State&) = delete;

  virtual int hash() { return 1; }
  virtual int compare(const State&) { return 1; }
  virtual void print() = 0;
  // 0 on success, non-zero on failure.
  virtual int fwriteState(FILE* f) = 0;
  virtual int freadState(FILE* f) = 0;
  virtual State& operator=(const State& other) = 0;
  virtual ~State() {}
  // Loads the model from this snapshot.
  virtual void SetState(const BaseModelClass* m) = 0;
  // Takes the snapshot from the model.
  virtual void GetState(const BaseModelClass* m) = 0;
  virtual char* GetStatePtr() = 0;
};

#endif
