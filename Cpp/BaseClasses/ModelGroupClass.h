#ifndef MODEL_GROUP_CLASS_H
#define MODEL_GROUP_CLASS_H

class BaseModelClass;

// The submodels one reward worker observes, one per model dependency of its
// variable. Owns the pointer array, not the models.
class ModelGroupClass {
 public:
  ModelGroupClass() = default;
  ModelGroupClass(const ModelGroupClass&) = delete;
  ModelGroupClass& operator=(const ModelGroupClass&) = delete;
  ~ModelGroupClass();

  // Replaces the array with n null entries.
  void CreateModelList(int n);
  // REQUIRES: 0 <= i < GetNumModels().
  void SetModel(int i, BaseModelClass* model);
  BaseModelClass* GetModel(int i) const;
  int GetNumModels() const { return numModels; }
  // Whether model is one of the entries (by identity).
  bool IsDependentOnModel(BaseModelClass* model) const;

 private:
  BaseModelClass** models = nullptr;
  int numModels = 0;
};

#endif
