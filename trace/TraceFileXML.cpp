#include "trace/TraceFileXML.h"

#include <cstdio>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/BaseModelClass.h"
#include "Cpp/BaseClasses/List.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

namespace {

// System identifier of the trace document type.
const char kTraceDtd[] = "http://korvan.invalid/dtd/KorvanTrace.dtd";

}  // namespace

TraceFileXML::TraceFileXML() : TraceFile(), recording(-1), fireTime(0.0) {}

TraceFileXML::TraceFileXML(const char* fileName)
    : TraceFile(fileName), recording(-1), fireTime(0.0) {}

TraceFileXML::TraceFileXML(const char* fileName, Held held)
    : TraceFile(fileName, held), recording(-1), fireTime(0.0) {}

TraceFileXML::TraceFileXML(std::ostream* stream)
    : TraceFile(stream), recording(-1), fireTime(0.0) {}

TraceFileXML::~TraceFileXML() = default;

void TraceFileXML::printHeader(PVModel* pvModel) {
  if (out == nullptr || recording != -1) return;
  *out << "<?xml version=\"1.0\" encoding=\"utf-8\" ?>" << std::endl;
  *out << "<!DOCTYPE Trace" << std::endl;
  *out << "  SYSTEM \"" << kTraceDtd << "\">" << std::endl;
  *out << "<Trace model=\"Example_Korvan\" generator=\"manually_generated\" >" << std::endl;
  *out << "<Comment> Purpose of this trace: demonstration </Comment>" << std::endl;
  *out << "<!-- TESTING declaration of processes -->" << std::endl;
  *out << "<!-- Trace file of model Example_Korvan -->" << std::endl;
  BaseModelClass* top = TopModel(pvModel);
  if (top != nullptr) printHeader(top, top->modelId);
  *out << "<Interactions>" << std::endl;
  if (top != nullptr) printHeaderInteractions(top);
  *out << "</Interactions>" << std::endl;
  *out << "<!-- process sequence -->" << std::endl;
  *out << "<Sequence type=\"StateActionType\">" << std::endl;
}

void TraceFileXML::printHeader(BaseModelClass* model, int parentId) {
  if (out == nullptr || recording != -1 || model == nullptr) return;
  bool atomic = model->GetModelType() == 1;
  *out << "<Process id=\"p" << model->modelId << "\" name=\"";
  WriteEscaped(model->name != nullptr ? model->name : "");
  if (atomic) *out << model->modelId;
  *out << "\" >" << std::endl;
  model->SetParentId(parentId);
  // Declaring a key is enough to give the model an (empty) sequence.
  modelVariables[model];
  if (atomic) {
    int count = 0;
    BaseStateVariableClass** variables = LocalVariables(model, out, &count);
    for (int i = 0; i < count; i++) {
      if (variables[i] == nullptr) continue;
      List<BaseStateVariableClass>* leaves = variables[i]->getLeafNodes();
      if (leaves == nullptr) continue;
      for (int j = 0; j < leaves->getNumItems(); j++) DeclareVariable(model, leaves->getItem(j));
      delete leaves;
    }
  } else {
    BaseStateVariableClass** shared = model->GetSharedStateVariables();
    for (int i = 0; shared != nullptr && i < model->NumSharedStateVariables; i++) {
      if (shared[i] == nullptr) continue;
      List<BaseStateVariableClass>* leaves = shared[i]->getLeafNodes();
      if (leaves == nullptr) continue;
      for (int j = 0; j < leaves->getNumItems(); j++) {
        BaseStateVariableClass* leaf = leaves->getItem(j);
        if (leaf->getShared()) DeclareVariable(model, leaf);
      }
      delete leaves;
    }
    for (int i = 0; i < model->GetNumberOfChildren(); i++) {
      printHeader(model->GetChild(i), model->modelId);
    }
  }
  *out << "</Process>" << std::endl;
}

void TraceFileXML::DeclareVariable(BaseModelClass* model, BaseStateVariableClass* leaf) {
  std::string name = FullName(leaf);
  if (!addUsedStateName(name.c_str(), model->parentId, model->modelId)) {
    // Not declared again: records and touches name the enclosing process
    // that declared it.
    int index = FindUsedName(name, model->parentId);
    if (index >= 0) declaringModels.emplace(leaf, usedStateModels[index][0]);
    return;
  }
  modelVariables[model].push_back(leaf);
  declaringModels[leaf] = model->modelId;
  *out << "<Var id=\"";
  WriteVariableId(leaf, model->modelId);
  *out << "\" name=\"";
  WriteEscaped(name);
  *out << "\" />" << std::endl;
}

void TraceFileXML::printHeaderInteractions(BaseModelClass* model) {
  if (out == nullptr || model == nullptr) return;
  if (model->GetModelType() != 1) {
    for (int i = 0; i < model->GetNumberOfChildren(); i++) {
      printHeaderInteractions(model->GetChild(i));
    }
    return;
  }
  for (int i = 0; i < model->numActions; i++) {
    BaseActionClass* action = model->actions[i];
    if (action == nullptr) continue;
    std::vector<int> touched;
    for (int j = 0; j < action->affectedSVs.getNumItems(); j++) {
      int id = DeclaringModel(action->affectedSVs.getItem(j), model->modelId);
      bool seen = false;
      for (int t : touched) seen = seen || t == id;
      if (!seen) touched.push_back(id);
    }
    *out << "<Undiraction id=\"a" << action->id << "\" name=\"";
    WriteEscaped(action->name != nullptr ? action->name : "");
    *out << "\">" << std::endl;
    for (int id : touched) *out << "<Touch>p" << id << "</Touch>";
    *out << "</Undiraction>" << std::endl;
  }
}

void TraceFileXML::addState(const char* name) {
  if (name == nullptr) return;
  for (const std::string& s : declaredStates) {
    if (s == name) return;
  }
  declaredStates.emplace_back(name);
}

int TraceFileXML::FindUsedName(const std::string& name, int parentId) const {
  for (size_t i = 0; i < usedStateNames.size(); i++) {
    if (usedStateNames[i] == name && parentId >= usedStateModels[i][0]) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

bool TraceFileXML::addUsedStateName(const char* name, int parentId, int modelId) {
  std::string fullName = name != nullptr ? name : "";
  int index = FindUsedName(fullName, parentId);
  if (index >= 0) {
    usedStateModels[index].push_back(modelId);
    return false;
  }
  usedStateNames.push_back(fullName);
  usedStateModels.push_back(std::vector<int>(1, modelId));
  return true;
}

int TraceFileXML::DeclaringModel(BaseStateVariableClass* v, int fallbackId) const {
  auto found = declaringModels.find(v);
  if (found != declaringModels.end()) return found->second;
  // A variable the declarations never met (the header was not written, or
  // the variable belongs to no process): the first declaration of its name,
  // else the process of the action or model at hand.
  std::string name = FullName(v);
  for (size_t i = 0; i < usedStateNames.size(); i++) {
    if (usedStateNames[i] == name) return usedStateModels[i][0];
  }
  return fallbackId;
}

void TraceFileXML::printFooter() {}

void TraceFileXML::printInitialState(BaseModelClass* model) {
  if (out == nullptr || recording != 0) return;
  *out << "<S>" << std::endl;
  printState(model);
  *out << "</S>" << std::endl;
}

void TraceFileXML::printState(BaseModelClass* model) {
  if (out == nullptr || recording != 0 || model == nullptr) return;
  auto found = modelVariables.find(model);
  if (found != modelVariables.end()) {
    for (BaseStateVariableClass* v : found->second) {
      *out << "<V id=\"";
      WriteVariableId(v, DeclaringModel(v, model->modelId));
      *out << "\" val=\"";
      v->printStateVal(out);
      *out << "\" />" << std::endl;
    }
  }
  for (int i = 0; i < model->GetNumberOfChildren(); i++) printState(model->GetChild(i));
}

void TraceFileXML::printState(PVModel*) {}

void TraceFileXML::printFireAction(BaseActionClass*, double time) { fireTime = time; }

void TraceFileXML::printPreFireAction(BaseActionClass*) {}

void TraceFileXML::printPostFireAction(BaseActionClass* action, BaseActionClass* selected) {
  if (out == nullptr || recording != 0 || action == nullptr) return;
  *out << "<A id=\"a" << action->id << "\" t=\"" << fireTime << "\">" << std::endl;
  if (selected != nullptr) {
    int fallbackId = selected->parentModel != nullptr ? selected->parentModel->modelId : 0;
    for (int i = 0; i < selected->affectedSVs.getNumItems(); i++) {
      BaseStateVariableClass* v = selected->affectedSVs.getItem(i);
      *out << "  <V id=\"";
      WriteVariableId(v, DeclaringModel(v, fallbackId));
      *out << "\"  val=\"";
      v->printStateVal(out);
      *out << "\" />" << std::endl;
    }
  }
  *out << "</A>" << std::endl;
}

void TraceFileXML::newBatch() {
  // The counter stops at 1: the document is closed once, and a long run of
  // batches cannot overflow it.
  if (recording >= 1) return;
  recording++;
  if (recording == 1 && out != nullptr) {
    *out << "</Sequence>" << std::endl;
    *out << "</Trace>" << std::endl;
  }
}

void TraceFileXML::CloseDocument() {
  while (recording < 1) newBatch();
  if (out != nullptr) out->flush();
}

void TraceFileXML::WriteVariableId(BaseStateVariableClass* v, int declaringId) {
  *out << "p" << declaringId;
  WriteEscaped(FullName(v));
}

void TraceFileXML::WriteEscaped(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8CharLength(text, i);
      if (length > 0) {
        out->write(text.data() + i, static_cast<std::streamsize>(length));
        i += length;
      } else {
        // Not UTF-8 (a name in a single-byte encoding, say): the byte is
        // read as Latin-1, the likeliest reading, rather than left to make
        // the document ill-formed.
        WriteCharReference(c);
        i++;
      }
      continue;
    }
    switch (c) {
      case '&': *out << "&amp;"; break;
      case '<': *out << "&lt;"; break;
      case '>': *out << "&gt;"; break;
      case '"': *out << "&quot;"; break;
      // Every text written here is an attribute value, where a parser reads
      // a raw tab or line end as a blank: a reference keeps the name as it is.
      case '\t': case '\n': case '\r': WriteCharReference(c); break;
      default:
        // XML 1.0 has no way to write the other control characters, not even
        // as references: each becomes its visible symbol (U+2400 + c).
        if (c < 0x20) {
          WriteCharReference(0x2400 + c);
        } else {
          *out << static_cast<char>(c);
        }
        break;
    }
    i++;
  }
}

void TraceFileXML::WriteCharReference(unsigned int code) {
  // Formatted apart: the stream's own flags (a caller's std::cout) stay as
  // they are.
  char reference[16];
  std::snprintf(reference, sizeof reference, "&#x%X;", code);
  *out << reference;
}

size_t TraceFileXML::Utf8CharLength(const std::string& text, size_t i) {
  const auto byte = [&](size_t k) {
    return k < text.size() ? static_cast<unsigned char>(text[k]) : 0u;
  };
  const auto continuation = [&](size_t k) { return (byte(k) & 0xC0) == 0x80; };
  const unsigned int lead = byte(i), second = byte(i + 1);
  if (lead >= 0xC2 && lead <= 0xDF) return continuation(i + 1) ? 2 : 0;
  if (lead >= 0xE0 && lead <= 0xEF) {
    // No overlong forms (E0 below A0), no surrogates (ED above 9F), and not
    // U+FFFE or U+FFFF, which XML excludes.
    if (!continuation(i + 1) || !continuation(i + 2)) return 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F)) return 0;
    if (lead == 0xEF && second == 0xBF && byte(i + 2) >= 0xBE) return 0;
    return 3;
  }
  if (lead >= 0xF0 && lead <= 0xF4) {
    if (!continuation(i + 1) || !continuation(i + 2) || !continuation(i + 3)) return 0;
    if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) return 0;
    return 4;
  }
  return 0;
}

std::string TraceFileXML::FullName(BaseStateVariableClass* v) {
  std::string name;
  if (v->prefix != nullptr && v->prefix[0] != '\0') {
    name += v->prefix;
    name += '.';
  }
  if (v->name != nullptr) name += v->name;
  return name;
}
