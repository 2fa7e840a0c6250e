#ifndef ACTION_MODEL_PAIR_CLASS_H
#define ACTION_MODEL_PAIR_CLASS_H

// The trigger of an impulse function: an action name and the name of the
// submodel(s) it belongs to. Owns copies of both names.
class ActionModelPairClass {
 public:
  ActionModelPairClass() = default;
  ActionModelPairClass(const ActionModelPairClass&) = delete;
  ActionModelPairClass& operator=(const ActionModelPairClass&) = delete;
  ~ActionModelPairClass();

  // Replaces earlier copies; a null name is stored as null.
  void SetPair(const char* actionName, const char* modelName);
  char* GetActionName() const { return actionName; }
  char* GetModelName() const { return modelName; }

 private:
  char* actionName = nullptr;
  char* modelName = nullptr;
};

#endif
