#ifndef VAR_MODEL_PAIR_CLASS_H
#define VAR_MODEL_PAIR_CLASS_H

// One variable dependency of a reward variable: a state variable name and
// the name of the submodel(s) it lives in. Owns copies of both names.
class VarModelPairClass {
 public:
  VarModelPairClass() = default;
  VarModelPairClass(const VarModelPairClass&) = delete;
  VarModelPairClass& operator=(const VarModelPairClass&) = delete;
  ~VarModelPairClass();

  // Replaces earlier copies; a null name is stored as null.
  void SetPair(const char* svName, const char* modelName);
  char* GetSVName() const { return svName; }
  char* GetModelName() const { return modelName; }

 private:
  char* svName = nullptr;
  char* modelName = nullptr;
};

#endif
