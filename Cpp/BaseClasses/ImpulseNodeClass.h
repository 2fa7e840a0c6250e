#ifndef IMPULSE_NODE_CLASS_H
#define IMPULSE_NODE_CLASS_H

class BaseModelClass;

// Worker of an impulse reward: one impulse function of a reward variable,
// bound to one submodel whose action triggers it and to one combination of
// the function's other submodels. A generated subclass supplies the six
// operations and the model slots (addresses of its own model fields, one per
// model name of the function, numModelNames of them).
//
// The node registers one instance per impulse function as its definition and
// asks it for the function's impulse nodes (CreateImpulseNodes); the node
// owns the definitions, the impulse nodes and their arrays.
class ImpulseNodeClass {
 public:
  ImpulseNodeClass() = default;
  ImpulseNodeClass(const ImpulseNodeClass&) = delete;
  ImpulseNodeClass& operator=(const ImpulseNodeClass&) = delete;

  virtual ~ImpulseNodeClass();
  // Closes the observation at the end of a replication.
  virtual void EndAccumulate(double end) = 0;
  // The impulse earned by one firing of the triggering action in the
  // current state. The node itself never calls it; Accumulate and
  // CurrentReward of a subclass use it.
  virtual double Impulse_Function() = 0;
  // The triggering action has just been accounted for at now.
  virtual void Accumulate(double now, double lastTime) = 0;
  virtual void CurrentReward() = 0;
  // Clears the observation for the next one.
  virtual void ResetImpulse() = 0;
  // A new array (new[]) of n new impulse nodes of this function.
  virtual ImpulseNodeClass** CreateImpulseNodes(int n) = 0;

  // Stores a copy of name and the two indices.
  void DefineName(const char* newName, int functionIndex, int nodeIndex);
  // value and square := 0.
  void Reset();
  double min(double a, double b) const { return b <= a ? b : a; }
  double max(double a, double b) const { return a > b ? a : b; }

  double GetValue() const { return value; }
  double GetSquare() const { return square; }

  // ---- Fields, in record order; written by the node and the subclass. ----
  BaseModelClass*** modelSlots = nullptr;
  BaseModelClass* model = nullptr;
  char* name = nullptr;  // strdup copy, released with free
  int impulseNodeIndex = -1;
  int impulseFunctionIndex = -1;
  int numModelNames = 0;
  int nodeId = -1;
  double value = 0.0;
  double square = 0.0;
  double start = 0.0;
  double stop = 0.0;
};

#endif
