#ifndef BASE_STRUCT_STATE_VARIABLE_H
#define BASE_STRUCT_STATE_VARIABLE_H

#include <iostream>
#include <utility>
#include <vector>

#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

// The kind of one field of a structured variable. The value fixes the bytes
// the field takes in the state image: 0 two, 1 four, 2 one, 3 eight, 4 four;
// any larger value is a nested structured variable of its own StateSize().
enum ArrayType {
  SHORT_FIELD = 0,
  INT_FIELD = 1,
  CHAR_FIELD = 2,
  DOUBLE_FIELD = 3,
  FLOAT_FIELD = 4,
  STRUCT_FIELD = 5
};

// A state variable made of an ordered sequence of field variables: its image
// is the concatenation of the fields' images, sharing it shares field by
// field, and actions connected to it hold its leaf variables.
//
// Ownership: the field variables are created by field() in a derived class
// and are not deleted here. A field without a variable (as the base factory
// leaves it) takes its bytes in the image and is otherwise skipped.
class BaseStructStateVariable : public BaseStateVariableClass {
 public:
  typedef std::pair<BaseStateVariableClass*, ArrayType> Field;

  BaseStructStateVariable();
  BaseStructStateVariable(const char* name, const char* prefix);
  BaseStructStateVariable(const char* name, const char* prefix, const ArrayType* types, int n);

  ~BaseStructStateVariable() override;
  int StateSize() override;
  void SetState(void* image) override;
  void CurrentState(void* image) override;
  using BaseStateVariableClass::printState;
  void printState(std::ostream* s) override;
  // REQUIRES: other is a BaseStructStateVariable with at least as many fields.
  void share(BaseStateVariableClass* other) override;
  void appendAffectingAction(BaseActionClass* action) override;
  void addSelfAsEnablingSVToAction(BaseActionClass* action) override;
  void addSelfAsAffectedSVToAction(BaseActionClass* action) override;
  void removeSelfFromEnablingSVOfAction(BaseActionClass* action) override;
  void removeSelfFromAffectedSVOfAction(BaseActionClass* action) override;
  List<BaseStateVariableClass>* getLeafNodes() override;
  int getNumLeafNodes() override;
  bool isLeafNode() override;
  void appendEnabledAction(BaseActionClass* action) override;
  virtual void ShareWith(BaseStructStateVariable* other);
  // Factory for the variable of a field of the given kind; the base returns
  // the given variable unchanged.
  virtual Field field(ArrayType type, BaseStateVariableClass* variable) const;

  void makeArrays(const ArrayType* types, int n);
  int getSize() const { return static_cast<int>(fields.size()); }
  ArrayType getType(int i) const { return fields[i].second; }
  int calculateStateSize() const;

  int cachedStateSize;
  std::vector<Field> fields;
  // The stored record of this record's group (itself until it follows one),
  // and, in a main record, every record that follows it.
  BaseStructStateVariable* mainStruct = this;
  std::vector<BaseStructStateVariable*> followers;

 private:
  static int FieldBytes(const Field& f);
  static void CheckFieldFits(const Field& f);
};

#endif
