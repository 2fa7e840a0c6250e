#include "trace/TraceFileKorvan.h"

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

std::ostream* trout = &std::cout;

TraceFileKorvan::TraceFileKorvan() : TraceFile() { PublishStream(); }

TraceFileKorvan::TraceFileKorvan(const char* fileName) : TraceFile(fileName) { PublishStream(); }

TraceFileKorvan::TraceFileKorvan(const char* fileName, Held held) : TraceFile(fileName, held) {
  PublishStream();
}

TraceFileKorvan::TraceFileKorvan(std::ostream* stream) : TraceFile(stream) { PublishStream(); }

TraceFileKorvan::~TraceFileKorvan() {
  // trout must never be left pointing at a stream that is about to go away
  // (an owned file is deleted by the base destructor; a handed-in stream may
  // die with its owner).
  if (trout == out) trout = &std::cout;
}

void TraceFileKorvan::PublishStream() {
  // A writer without a stream has nothing to offer; trout keeps a usable
  // stream rather than becoming null.
  if (out != nullptr) trout = out;
}

void TraceFileKorvan::printHeader(PVModel*) {
  if (out == nullptr) return;
  *out << "**************************************" << std::endl;
  *out << "\t\tTRACE" << std::endl;
  *out << "**************************************" << std::endl;
}

void TraceFileKorvan::printFooter() {}

void TraceFileKorvan::newBatch() {
  if (out == nullptr) return;
  *out << "##### NEW BATCH #####" << std::endl;
}

void TraceFileKorvan::printInitialState(BaseModelClass* model) {
  if (out == nullptr) return;
  *out << "Initial Model State:" << std::endl;
  printState(model);
}

void TraceFileKorvan::printState(PVModel* pvModel) {
  if (out == nullptr) return;
  *out << "Model State:" << std::endl;
  printState(TopModel(pvModel));
}

void TraceFileKorvan::printState(BaseModelClass* model) {
  if (out == nullptr || model == nullptr) return;
  *out << "  Model: (" << model->modelId << ")";
  WriteText(*out, model->name);
  *out << std::endl;
  int count = 0;
  BaseStateVariableClass** variables = LocalVariables(model, out, &count);
  for (int i = 0; i < count; i++) {
    if (variables[i] == nullptr) continue;
    List<BaseStateVariableClass>* leaves = variables[i]->getLeafNodes();
    if (leaves == nullptr) continue;
    for (int j = 0; j < leaves->getNumItems(); j++) {
      BaseStateVariableClass* leaf = leaves->getItem(j);
      *out << "    ";
      WriteFullName(*out, leaf);
      *out << " = ";
      leaf->printStateVal(out);
      *out << std::endl;
    }
    delete leaves;
  }
  for (int i = 0; i < model->GetNumberOfChildren(); i++) printState(model->GetChild(i));
}

void TraceFileKorvan::WriteModelNumber(BaseActionClass* action) {
  *out << "(";
  if (action->parentModel != nullptr) *out << action->parentModel->modelId;
  *out << ")";
}

void TraceFileKorvan::WriteVariables(const List<BaseStateVariableClass>& variables) {
  for (int i = 0; i < variables.getNumItems(); i++) {
    BaseStateVariableClass* v = variables.getItem(i);
    *out << "  ";
    WriteFullName(*out, v);
    *out << " = ";
    v->printStateVal(out);
    *out << std::endl;
  }
}

void TraceFileKorvan::printFireAction(BaseActionClass* action, double time) {
  if (out == nullptr || traceLevel < 1 || action == nullptr) return;
  *out << "#### Firing: " << time << "  Action: ";
  WriteModelNumber(action);
  if (action->parentModel != nullptr) WriteText(*out, action->parentModel->name);
  *out << "->";
  WriteText(*out, action->name);
  *out << std::endl;
}

void TraceFileKorvan::printPreFireAction(BaseActionClass* action) {
  if (out == nullptr || traceLevel < 2 || action == nullptr) return;
  *out << "Enabling state before action firing:" << std::endl;
  BaseActionClass* printed = action->getPrintedAction();
  if (printed != nullptr) WriteVariables(printed->enablingSVs);
}

void TraceFileKorvan::printPostFireAction(BaseActionClass* action, BaseActionClass* selected) {
  if (out == nullptr || traceLevel < 1 || action == nullptr) return;
  *out << "#### After: ";
  WriteModelNumber(action);
  WriteText(*out, action->name);
  *out << "->";
  if (selected != nullptr) WriteText(*out, selected->name);
  *out << std::endl;
  if (traceLevel < 2) return;
  *out << "Affected state after firing: " << std::endl;
  if (selected != nullptr) WriteVariables(selected->affectedSVs);
}
