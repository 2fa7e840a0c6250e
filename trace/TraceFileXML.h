#ifndef TRACE_FILE_XML_H
#define TRACE_FILE_XML_H

#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "trace/TraceFile.h"

// The XML trace, for a message-sequence-chart viewer: every model becomes a
// process, every state variable a variable of the process that declared it
// first, every activity an interaction touching the processes whose
// variables it affects; then a sequence of state and action records of the
// first batch only. The trace level is never consulted.
//
// Lifecycle (the recording counter): -1 after construction, the header may
// be written; 0 after the first newBatch, records are written; 1 after the
// second newBatch, "</Sequence>" and "</Trace>" have been written and the
// writer is silent from then on.
//
// Identifiers: process "p" + model id; variable "p" + id of the declaring
// model + full name; action "a" + action id. Names are written escaped
// (WriteEscaped), so that any name leaves the document well-formed.
class TraceFileXML : public TraceFile {
 public:
  TraceFileXML();
  explicit TraceFileXML(const char* fileName);
  TraceFileXML(const char* fileName, Held held);
  explicit TraceFileXML(std::ostream* stream);
  ~TraceFileXML() override;

  void printHeader(PVModel* pvModel) override;
  void printFooter() override;
  void printInitialState(BaseModelClass* model) override;
  void printState(BaseModelClass* model) override;
  void printState(PVModel* pvModel) override;
  void printFireAction(BaseActionClass* action, double time) override;
  void printPreFireAction(BaseActionClass* action) override;
  void printPostFireAction(BaseActionClass* action, BaseActionClass* selected) override;
  void newBatch() override;
  // Ends the document (as the batch marks would) unless it has ended, and
  // flushes it: for a run that stops before its marks, fatally or before
  // it started.
  void CloseDocument();

  // Declares model as a process (and, recursively, its submodels) and sets
  // its parent id to parentId. Only while the counter is -1.
  void printHeader(BaseModelClass* model, int parentId);
  // One Undiraction element per action of every atomic model under model.
  void printHeaderInteractions(BaseModelClass* model);
  // Appends name to the declared state names unless already present.
  void addState(const char* name);
  // Refuses (false) a name already used when parentId is at least the id of
  // the model that declared it; otherwise records name as declared by
  // modelId and accepts.
  bool addUsedStateName(const char* name, int parentId, int modelId);

 private:
  // Index of the used name that makes name unavailable under parentId, or -1.
  int FindUsedName(const std::string& name, int parentId) const;
  // Offers leaf, a variable of model, for declaration; writes its Var
  // element when it is accepted.
  void DeclareVariable(BaseModelClass* model, BaseStateVariableClass* leaf);
  // Id of the model that declared v; fallbackId when v was never declared.
  int DeclaringModel(BaseStateVariableClass* v, int fallbackId) const;
  void WriteVariableId(BaseStateVariableClass* v, int declaringId);
  // Writes text as an attribute value: the XML special characters, tabs
  // and line ends as references, other control characters as their
  // visible symbols (U+2400 + c), bytes that are not UTF-8 as the Latin-1
  // characters of the same codes.
  void WriteEscaped(const std::string& text);
  void WriteCharReference(unsigned int code);
  // Length of the UTF-8 sequence at text[i] (lead byte 0x80 or above) when
  // it is well-formed and encodes a character XML allows; else 0.
  static size_t Utf8CharLength(const std::string& text, size_t i);
  static std::string FullName(BaseStateVariableClass* v);

  // ---- Fields, after those of TraceFile. ----
  std::vector<std::string> declaredStates;
  std::vector<std::string> usedStateNames;
  // Per used name: the declaring model's id, then the ids of the models
  // whose variable of that name was refused because of it.
  std::vector<std::vector<int>> usedStateModels;
  int recording;
  double fireTime;
  // Per model, the leaf variables it declared.
  std::map<BaseModelClass*, std::vector<BaseStateVariableClass*>> modelVariables;
  // Per declared or refused leaf, the id of the model that declared it.
  std::map<BaseStateVariableClass*, int> declaringModels;
};

#endif
