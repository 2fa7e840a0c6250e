#include "Cpp/BaseClasses/SANModel.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "Cpp/BaseClasses/state/Place.h"

const int primes[256] = {
    2,    3,    5,    7,    11,   13,   17,   19,   23,   29,   31,   37,   41,   43,   47,   53,
    59,   61,   67,   71,   73,   79,   83,   89,   97,   101,  103,  107,  109,  113,  127,  131,
    137,  139,  149,  151,  157,  163,  167,  173,  179,  181,  191,  193,  197,  199,  211,  223,
    227,  229,  233,  239,  241,  251,  257,  263,  269,  271,  277,  281,  283,  293,  307,  311,
    313,  317,  331,  337,  347,  349,  353,  359,  367,  373,  379,  383,  389,  397,  401,  409,
    419,  421,  431,  433,  439,  443,  449,  457,  461,  463,  467,  479,  487,  491,  499,  503,
    509,  521,  523,  541,  547,  557,  563,  569,  571,  577,  587,  593,  599,  601,  607,  613,
    617,  619,  631,  641,  643,  647,  653,  659,  661,  673,  677,  683,  691,  701,  709,  719,
    727,  733,  739,  743,  751,  757,  761,  769,  773,  787,  797,  809,  811,  821,  823,  827,
    829,  839,  853,  857,  859,  863,  877,  881,  883,  887,  907,  911,  919,  929,  937,  941,
    947,  953,  967,  971,  977,  983,  991,  997,  1009, 1013, 1019, 1021, 1031, 1033, 1039, 1049,
    1051, 1061, 1063, 1069, 1087, 1091, 1093, 1097, 1103, 1109, 1117, 1123, 1129, 1151, 1153, 1163,
    1171, 1181, 1187, 1193, 1201, 1213, 1217, 1223, 1229, 1231, 1237, 1249, 1259, 1277, 1279, 1283,
    1289, 1291, 1297, 1301, 1303, 1307, 1319, 1321, 1327, 1361, 1367, 1373, 1381, 1399, 1409, 1423,
    1427, 1429, 1433, 1439, 1447, 1451, 1453, 1459, 1471, 1481, 1483, 1487, 1489, 1493, 1499, 1511,
    1523, 1531, 1543, 1549, 1553, 1559, 1567, 1571, 1579, 1583, 1597, 1601, 1607, 1609, 1613, 1619};

namespace {

template <class T>
T** CopyArray(T** source, int n) {
  T** copy = new (std::nothrow) T*[n > 0 ? n : 1]();
  if (copy == nullptr) MemoryAllocationError();
  for (int i = 0; i < n; i++) copy[i] = source != nullptr ? source[i] : nullptr;
  return copy;
}

char* NewBuffer(int n) {
  char* b = new (std::nothrow) char[n > 0 ? n : 1]();
  if (b == nullptr) MemoryAllocationError();
  return b;
}

}  // namespace

// ---- SANModel::LocalState ----

SANModel::LocalState::LocalState(int n)
    : data(NewBuffer(n)), size(n > 0 ? n : 0), capacity(n > 0 ? n : 0) {}

SANModel::LocalState::~LocalState() { delete[] data; }

namespace {

int HashBytes(const char* bytes, int n) {
  uint32_t h = 0;
  for (int i = 0; i < n; i++) {
    int32_t b = static_cast<signed char>(bytes[i]);
    h += static_cast<uint32_t>(b) * static_cast<uint32_t>(primes[i % 256]);
  }
  return static_cast<int32_t>(h);
}

// Sizes that differ compare over the shorter image first; an image that is
// a prefix of the other is the smaller one (no byte past either is read).
int CompareBytes(const char* a, int na, const char* b, int nb) {
  int n = na < nb ? na : nb;
  for (int i = 0; i < n; i++) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x != y) return x > y ? 1 : -1;
  }
  if (na == nb) return 0;
  return na > nb ? 1 : -1;
}

void PrintBytes(const char* bytes, int n) {
  for (int i = 0; i < n; i++) std::printf("%5d", static_cast<signed char>(bytes[i]));
  std::printf("\n");
}

// The size is stored as a signed 32-bit little-endian integer, whatever the
// host order, followed by the image bytes.
int WriteBytes(FILE* f, const char* bytes, int n) {
  uint32_t u = static_cast<uint32_t>(n);
  unsigned char header[4] = {static_cast<unsigned char>(u & 0xFF),
                             static_cast<unsigned char>((u >> 8) & 0xFF),
                             static_cast<unsigned char>((u >> 16) & 0xFF),
                             static_cast<unsigned char>((u >> 24) & 0xFF)};
  if (std::fwrite(header, 1, 4, f) != 4) return 1;
  if (n > 0 && std::fwrite(bytes, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) return 1;
  return 0;
}

// The image is read aside and copied only once complete, so a refused or
// truncated record leaves the state as it was.
int ReadBytes(FILE* f, char* bytes, int capacity, int* n) {
  unsigned char header[4];
  if (std::fread(header, 1, 4, f) != 4) return 1;
  uint32_t u = static_cast<uint32_t>(header[0]) | (static_cast<uint32_t>(header[1]) << 8) |
               (static_cast<uint32_t>(header[2]) << 16) | (static_cast<uint32_t>(header[3]) << 24);
  int32_t stored = static_cast<int32_t>(u);
  if (stored < 0 || stored > capacity) return 1;
  if (stored > 0) {
    char* aside = new (std::nothrow) char[stored];
    if (aside == nullptr) MemoryAllocationError();
    size_t got = std::fread(aside, 1, static_cast<size_t>(stored), f);
    if (got != static_cast<size_t>(stored)) {
      delete[] aside;
      return 1;
    }
    std::memcpy(bytes, aside, static_cast<size_t>(stored));
    delete[] aside;
  }
  *n = stored;
  return 0;
}

}  // namespace

int SANModel::LocalState::hash() { return HashBytes(data, size); }

int SANModel::LocalState::compare(const State& o) {
  const LocalState* other = dynamic_cast<const LocalState*>(&o);
  KORVAN_ASSERT(other != nullptr);
  return CompareBytes(data, size, other->data, other->size);
}

void SANModel::LocalState::print() { PrintBytes(data, size); }

int SANModel::LocalState::fwriteState(FILE* f) { return WriteBytes(f, data, size); }

int SANModel::LocalState::freadState(FILE* f) { return ReadBytes(f, data, capacity, &size); }

State& SANModel::LocalState::operator=(const State& o) {
  if (&o == this) return *this;
  const LocalState* _localS = dynamic_cast<const LocalState*>(&o);
  KORVAN_ASSERT(_localS != nullptr);
  KORVAN_ASSERT(size == _localS->size);
  if (size > 0) std::memcpy(data, _localS->data, static_cast<size_t>(size));
  return *this;
}

void SANModel::LocalState::SetState(const BaseModelClass* m) {
  const_cast<BaseModelClass*>(m)->SetState(data);
}

void SANModel::LocalState::GetState(const BaseModelClass* m) {
  const_cast<BaseModelClass*>(m)->CurrentState(data);
}

// ---- SANModel ----

SANModel::SANModel() : places(nullptr), readOnlyPlaces(nullptr), numReadOnlyPlaces(0) {}

SANModel::SANModel(const char* n, int numPlaces, BaseStateVariableClass** p, int numReadOnly,
                   BaseStateVariableClass** readOnly, int numActivities, Activity** activities,
                   int nGroups, BaseGroupClass** g)
    : SANModel() {
  initializeSANModelNow(n, numPlaces, p, numReadOnly, readOnly, numActivities, activities, nGroups,
                        g);
}

SANModel::~SANModel() {
  delete[] places;
  delete[] readOnlyPlaces;
  delete[] actions;
  delete[] groups;
  places = nullptr;
  readOnlyPlaces = nullptr;
  actions = nullptr;
  groups = nullptr;
}

// A second call replaces the arrays of the first instead of leaking them.
void SANModel::initializeSANModelNow(const char* n, int numPlaces, BaseStateVariableClass** p,
                                     int numReadOnly, BaseStateVariableClass** readOnly,
                                     int numActivities, Activity** activities, int nGroups,
                                     BaseGroupClass** g) {
  DefineName(n);
  NumSharedStateVariables = 0;
  numReadOnlyPlaces = numReadOnly;
  numStateVariables = numPlaces + numReadOnly;
  numActions = numActivities;
  numGroups = nGroups;
  delete[] places;
  delete[] readOnlyPlaces;
  delete[] actions;
  delete[] groups;
  places = CopyArray(p, numPlaces);
  readOnlyPlaces = CopyArray(readOnly, numReadOnly);
  actions = new (std::nothrow) BaseActionClass*[numActivities > 0 ? numActivities : 1]();
  if (actions == nullptr) MemoryAllocationError();
  for (int i = 0; i < numActivities; i++) {
    actions[i] = activities[i];
    activities[i]->parentModel = this;
  }
  groups = CopyArray(g, nGroups);
  for (int i = 0; i < nGroups; i++) groups[i]->parentModel = this;
}

void SANModel::SetPlaces(BaseStateVariableClass** p) {
  for (int i = 0; i < numStateVariables - numReadOnlyPlaces; i++) places[i] = p[i];
}

void SANModel::SetReadOnlyPlaces(BaseStateVariableClass** p) {
  for (int i = 0; i < numReadOnlyPlaces; i++) readOnlyPlaces[i] = p[i];
}

void SANModel::SetActions(Activity** a) {
  for (int i = 0; i < numActions; i++) {
    actions[i] = a[i];
    a[i]->parentModel = this;
  }
}

void SANModel::SetGroups(BaseGroupClass** g) {
  for (int i = 0; i < numGroups; i++) {
    groups[i] = g[i];
    g[i]->parentModel = this;
  }
}

BaseModelClass* SANModel::GetChild(int) {
  KORVAN_ASSERT(false);
}

int SANModel::StateSize() {
  int total = 0;
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    if (places[i]->getStored()) total += places[i]->StateSize();
  }
  return total;
}

// The image walks the same places as StateSize(): those that own their
// storage. Under the composition protocol these are exactly the unshared
// places; a place that is the main of a group of its own would otherwise
// take image bytes without its value ever being saved.
void SANModel::CurrentState(void* image) {
  char* p = static_cast<char*>(image);
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    if (places[i]->getStored()) {
      places[i]->CurrentState(p);
      p += places[i]->StateSize();
    }
  }
}

void SANModel::SetState(void* image) {
  char* p = static_cast<char*>(image);
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    if (places[i]->getStored()) {
      places[i]->SetState(p);
      p += places[i]->StateSize();
    }
  }
}

bool SANModel::CompareState(void* a, void* b) {
  int n = StateSize();
  return n <= 0 || std::memcmp(a, b, static_cast<size_t>(n)) == 0;
}

bool SANModel::HasLocalState() { return StateSize() > 0; }

void SANModel::ConstructLocalState(State*& out) {
  out = new (std::nothrow) LocalState(StateSize());
  if (out == nullptr) MemoryAllocationError();
}

void SANModel::DestructLocalState(State* s) { delete s; }

void SANModel::GetLocalState(State* s) { s->GetState(this); }

void SANModel::SetLocalState(const State* s) { const_cast<State*>(s)->SetState(this); }

BaseStateVariableClass** SANModel::GetLocalStateVariables(std::ostream*) { return places; }

void SANModel::listModels(const char* n, List<BaseModelClass>* out) {
  if (name != nullptr && n != nullptr && std::strcmp(n, name) == 0) out->append(this);
}

void SANModel::listActions(List<BaseActionClass>* out) { out->append(actions, numActions); }

void SANModel::listActions(const char* n, List<BaseActionClass>* out) {
  for (int i = 0; i < numActions; i++) {
    if (std::strcmp(actions[i]->name, n) == 0) {
      out->append(actions[i]);
      return;
    }
  }
}

void SANModel::listGroups(List<BaseGroupClass>* out) { out->append(groups, numGroups); }

void SANModel::listSVs(const char* modelName, const char* svName,
                       List<BaseStateVariableClass>* svs, List<BaseModelClass>* models) {
  if (name == nullptr || modelName == nullptr || std::strcmp(modelName, name) != 0) return;
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    if (std::strcmp(places[i]->name, svName) == 0) {
      svs->append(places[i]);
      models->append(this);
    }
  }
  for (int i = 0; i < numReadOnlyPlaces; i++) {
    if (std::strcmp(readOnlyPlaces[i]->name, svName) == 0) {
      svs->append(readOnlyPlaces[i]);
      models->append(this);
    }
  }
}

void SANModel::GetGlobalActions(slist<BaseActionClass*>& out) {
  std::set<BaseActionClass*> own(actions, actions + numActions);
  std::set<BaseActionClass*> touching;
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    BaseStateVariableClass* v = places[i];
    if (v->getStored()) continue;
    List<BaseActionClass>* affecting = v->getAffectingActions();
    for (int j = 0; j < affecting->getNumItems(); j++) touching.insert(affecting->getItem(j));
    List<BaseActionClass>* enabled = v->getEnabledActions();
    for (int j = 0; j < enabled->getNumItems(); j++) touching.insert(enabled->getItem(j));
  }
  for (BaseActionClass* a : touching) {
    if (own.count(a) != 0) out.push_front(a);
  }
}

void SANModel::GetLocalActions(slist<BaseActionClass*>& out) {
  slist<BaseActionClass*> global;
  GetGlobalActions(global);
  std::set<BaseActionClass*> globalSet(global.begin(), global.end());
  for (int i = 0; i < numActions; i++) {
    if (globalSet.count(actions[i]) == 0) out.push_front(actions[i]);
  }
}

void SANModel::printState(std::ostream* s) {
  *s << "Model: (" << modelId << ")" << (name != nullptr ? name : "") << std::endl;
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    *s << "  ";
    places[i]->printState(s);
  }
  for (int i = 0; i < numReadOnlyPlaces; i++) {
    *s << "  ";
    readOnlyPlaces[i]->printState(s);
  }
}

void SANModel::PrintSANModelInfo() {
  std::printf("SANModelInfo\n");
  std::printf("Number of Actions = %i, Number of Groups = %i, Number of State Variables = %i\n",
              numActions, numGroups, numStateVariables);
  for (int i = 0; i < numActions; i++) {
    BaseActionClass* a = actions[i];
    std::printf("ActionName = %s\n", a->name);
    std::printf("Group Id = %i\n", a->groupId);
    std::printf("DistributionType = %i\n", static_cast<int>(a->distributionType));
    std::printf("ExecutionPolicy = %i\n", static_cast<int>(a->executionPolicy));
    std::printf("Number of affected state variables = %i\n", a->affectedSVs.getNumItems());
    std::printf("Number of enabling state variables = %i\n", a->enablingSVs.getNumItems());
  }
  std::printf("\n");
  for (int i = 0; i < numGroups; i++) std::printf("Group Name = %s \n", groups[i]->name);
  int n = numStateVariables - numReadOnlyPlaces;
  for (int i = 0; i < n; i++) std::printf("Place Name = %s\n", places[i]->name);
  for (int i = 0; i < numReadOnlyPlaces; i++) {
    std::printf("Read Only Place Name = %s\n", readOnlyPlaces[i]->name);
  }
  std::fflush(stdout);
}

bool checkLocalSVs(SANModel* model, Place** p) {
  int n = model->numStateVariables - model->numReadOnlyPlaces;
  for (int i = 0; i < n; i++) {
    if (model->places[i] != p[i]) return false;
  }
  return true;
}

bool checkReadOnlyPlaces(SANModel* model, BaseStateVariableClass** readOnly) {
  for (int i = 0; i < model->numReadOnlyPlaces; i++) {
    if (model->readOnlyPlaces[i] != readOnly[i]) return false;
  }
  return true;
}

bool checkLocalActions(SANModel* model, Activity** activities) {
  for (int i = 0; i < model->numActions; i++) {
    if (model->actions[i] != activities[i]) return false;
  }
  return true;
}
