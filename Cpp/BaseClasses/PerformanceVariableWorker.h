#ifndef PERFORMANCE_VARIABLE_WORKER_H
#define PERFORMANCE_VARIABLE_WORKER_H

class BaseModelClass;

// Evaluates a reward variable's function on one combination of the
// submodels the variable depends on. A generated subclass supplies
// Reward_Function and the model slots: an array of the addresses of its own
// model fields, one per model dependency of the node, in dependency order.
// The node stores each observed submodel through its slot (FixWorkerList), so
// a generated model field must hold a BaseModelClass pointer value (a class
// derived without an offset, as every generated model is).
//
// Ownership: the worker owns its name (a strdup copy) and frees it in its
// destructor; an owner that wants it released earlier calls FreeName(), never
// free() on the field. The model-slot array belongs to the generated subclass.
class PerformanceVariableWorker {
 public:
  PerformanceVariableWorker() = default;
  PerformanceVariableWorker(const PerformanceVariableWorker&) = delete;
  PerformanceVariableWorker& operator=(const PerformanceVariableWorker&) = delete;

  virtual ~PerformanceVariableWorker();
  // The reward of the current state.
  virtual double Reward_Function() = 0;
  // Recomputes value, square and weight for an accumulation step at now,
  // the previous firing having happened at lastTime.
  virtual void Accumulate(double now, double lastTime) = 0;
  // Base: reports the call on standard error and changes nothing.
  virtual void CurrentReward();
  // value and square := 0.
  virtual void Reset();

  // Stores a copy of name and the worker's index in its node.
  void DefineName(const char* newName, int index);
  // Frees the name now (the destructor then has nothing to free).
  void FreeName();

  double GetValue() const { return value; }
  double GetSquare() const { return square; }
  double GetWeight() const { return weight; }
  const char* GetName() const { return name; }
  int GetWorkerIndex() const { return workerIndex; }
  int GetNodeId() const { return nodeId; }

  // ---- Fields, in record order; written by the node and the subclass. ----
  BaseModelClass*** modelSlots = nullptr;
  int numModelSlots = 0;
  char* name = nullptr;
  int workerIndex = -1;
  int nodeId = -1;
  double value = 0.0;
  double square = 0.0;
  double weight = 0.0;
  double start = 0.0;
  double stop = 0.0;
};

#endif
