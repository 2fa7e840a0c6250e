#include "Cpp/Composer/Join.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"

// ---- Join::LocalState ----

void Join::LocalState::SetState(const BaseModelClass* m) {
  Join* j = dynamic_cast<Join*>(const_cast<BaseModelClass*>(m));
  KORVAN_ASSERT(j != nullptr);
  j->SetSharedState(data);
}

void Join::LocalState::GetState(const BaseModelClass* m) {
  Join* j = dynamic_cast<Join*>(const_cast<BaseModelClass*>(m));
  KORVAN_ASSERT(j != nullptr);
  j->CurrentSharedState(data);
}

// ---- Join ----

Join::Join(const char* n, int nChildren, int numShared, const char* const* sharedNames)
    : BaseComposerClass(n, nChildren, numShared, sharedNames),
      childStateSizes(nullptr),
      actionNameTableSize(0),
      actionNameTable(nullptr),
      actionNameCounts(nullptr) {}

Join::~Join() {
  delete[] actionNameTable;
  delete[] actionNameCounts;
  delete[] childStateSizes;
}

BaseModelClass* Join::GetChild(int i) {
  KORVAN_ASSERT(i < GetNumberOfChildren());
  KORVAN_ASSERT(i >= 0);
  return children[i];
}

void Join::GetLocalActions(slist<BaseActionClass*>&) { KORVAN_ASSERT(false); }

void Join::GetGlobalActions(slist<BaseActionClass*>&) { KORVAN_ASSERT(false); }

int Join::StateSize() {
  int total = 0;
  for (int i = 0; i < numChildren; i++) total += children[i]->StateSize();
  return total + SharedStateSize();
}

// The children are asked their sizes now, as StateSize() asks them: a
// parent that shares a grandchild's place after this join's Setup()
// shrinks that child's part, and the sizes Setup() took would then lay the
// parts over one another.
void Join::CurrentState(void* image) {
  char* p = static_cast<char*>(image);
  int offset = 0;
  for (int i = 0; i < numChildren; i++) {
    children[i]->CurrentState(p + offset);
    offset += children[i]->StateSize();
  }
  CurrentSharedState(p + offset);
}

void Join::SetState(void* image) {
  char* p = static_cast<char*>(image);
  int offset = 0;
  for (int i = 0; i < numChildren; i++) {
    children[i]->SetState(p + offset);
    offset += children[i]->StateSize();
  }
  SetSharedState(p + offset);
}

void Join::CurrentSharedState(void* image) {
  char* p = static_cast<char*>(image);
  for (int i = 0; i < AddedSharedPtrs && i < NumSharedStateVariables; i++) {
    BaseStateVariableClass* v = SharedStateVariables[i];
    if (v->getStored()) {
      v->CurrentState(p);
      p += v->StateSize();
    }
  }
}

void Join::SetSharedState(void* image) {
  char* p = static_cast<char*>(image);
  for (int i = 0; i < AddedSharedPtrs && i < NumSharedStateVariables; i++) {
    BaseStateVariableClass* v = SharedStateVariables[i];
    if (v->getStored()) {
      v->SetState(p);
      p += v->StateSize();
    }
  }
}

bool Join::HasLocalState() { return SharedStateSize() > 0; }

void Join::ConstructLocalState(State*& out) {
  out = new (std::nothrow) LocalState(SharedStateSize());
  if (out == nullptr) MemoryAllocationError();
}

void Join::DestructLocalState(State* s) { delete s; }

void Join::GetLocalState(State* s) { s->GetState(this); }

void Join::SetLocalState(const State* s) { const_cast<State*>(s)->SetState(this); }

void Join::Setup() {
  GeneralSetup();
  delete[] childStateSizes;
  childStateSizes = new (std::nothrow) int[numChildren > 0 ? numChildren : 1]();
  if (childStateSizes == nullptr) MemoryAllocationError();
  for (int i = 0; i < numChildren; i++) childStateSizes[i] = children[i]->StateSize();
  int distinct = 0;
  for (int i = 0; i < numActions; i++) {
    bool seen = false;
    for (int j = 0; j < i && !seen; j++) {
      seen = std::strcmp(actions[i]->name, actions[j]->name) == 0;
    }
    if (!seen) distinct++;
  }
  actionNameTableSize = 4 * distinct;
  delete[] actionNameTable;
  delete[] actionNameCounts;
  actionNameTable = new (std::nothrow) const char*[actionNameTableSize > 0 ? actionNameTableSize : 1]();
  actionNameCounts = new (std::nothrow) int[actionNameTableSize > 0 ? actionNameTableSize : 1]();
  if (actionNameTable == nullptr || actionNameCounts == nullptr) MemoryAllocationError();
  HashActions();
}

// Quadratic probing: h, h + 1, h - 1, h + 4, h - 4, ... modulo T in unsigned
// 32-bit arithmetic. A probe sequence that has visited T slots without a free
// or matching one ends the process: the table always has room (four slots per
// distinct name), so that only happens on a corrupted table.
void Join::HashActions() {
  if (actionNameTableSize <= 0) return;
  uint32_t t = static_cast<uint32_t>(actionNameTableSize);
  for (int i = 0; i < numActions; i++) {
    const char* n = actions[i]->name;
    uint32_t h = static_cast<uint32_t>(Hash(n, actionNameTableSize));
    uint32_t slot = h;
    uint32_t step = 0;
    bool plus = true;
    long probes = 0;
    for (;;) {
      if (actionNameTable[slot] == nullptr) {
        actionNameTable[slot] = n;
        actionNameCounts[slot] = 1;
        break;
      }
      if (std::strcmp(actionNameTable[slot], n) == 0) {
        actionNameCounts[slot]++;
        break;
      }
      probes++;
      KORVAN_ASSERT(probes <= 4L * actionNameTableSize);
      if (plus) step++;
      uint32_t sq = step * step;
      slot = plus ? (h + sq) % t : (h - sq) % t;
      plus = !plus;
    }
  }
}
