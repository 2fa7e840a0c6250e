#include "Cpp/BaseClasses/BaseGroupClass.h"

#include <algorithm>
#include <cfloat>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <string>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "Cpp/BaseClasses/state/BaseStateVariableClass.h"
#include "random/Distributions.h"

BaseGroupClass::BaseGroupClass()
    : members(nullptr),
      selectedAction(nullptr),
      weightDistribution(nullptr),
      selectedRank(0),
      numMembers(0),
      numWeights(0),
      arraySize(0) {}

BaseGroupClass::BaseGroupClass(const char* n, int g, Distribution d, ExecutionPolicyType p,
                               int affectedCount, int enablingCount, bool r)
    : BaseGroupClass() {
  BaseActionClassInitialize(n, g, d, p, affectedCount, enablingCount, r);
}

// weightDistribution gets the same n slots, so that both arrays always have
// arraySize slots and selection never writes past the weights.
BaseGroupClass::BaseGroupClass(const char* n, int g, Distribution d, ExecutionPolicyType p,
                               int affectedCount, int enablingCount, bool r, int slots)
    : BaseGroupClass() {
  BaseActionClassInitialize(n, g, d, p, affectedCount, enablingCount, r);
  ReallocateArrays(slots);
}

BaseGroupClass::~BaseGroupClass() {
  delete[] members;
  delete[] weightDistribution;
  members = nullptr;
  weightDistribution = nullptr;
}

bool BaseGroupClass::Enabled() {
  // Every member is asked (no short cut): each call records the member's
  // enabling history.
  BaseGroupClass* const* m = members;
  const int n = numMembers;
  bool any = false;
  for (int i = 0; i < n; i++) any |= m[i]->Enabled();
  return any;
}

// The delegating queries answer the action defaults when nothing is
// selected, and when the selection is the group itself (an activity that
// does not override them), instead of following a null pointer or recursing.
double BaseGroupClass::Weight() {
  if (selectedAction == nullptr || selectedAction == this) return BaseActionClass::Weight();
  return selectedAction->Weight();
}

double BaseGroupClass::Rate() {
  if (selectedAction == nullptr || selectedAction == this) return BaseActionClass::Rate();
  return selectedAction->Rate();
}

bool BaseGroupClass::ReactivationPredicate() { return false; }

bool BaseGroupClass::ReactivationFunction() { return false; }

double BaseGroupClass::SampleDistribution() {
  if (selectedAction == nullptr || selectedAction == this) {
    return BaseActionClass::SampleDistribution();
  }
  return selectedAction->SampleDistribution();
}

BaseActionClass* BaseGroupClass::Fire() {
  if (selectedAction == nullptr || selectedAction == this) return BaseActionClass::Fire();
  BaseActionClass* firedAction = selectedAction->Fire();
  selectedAction = nullptr;
  return firedAction;
}

int BaseGroupClass::Rank() {
  if (selectedAction == nullptr || selectedAction == this) return BaseActionClass::Rank();
  return selectedAction->Rank();
}

bool BaseGroupClass::EnablingChange() {
  BaseGroupClass* const* m = members;
  const int n = numMembers;
  bool any = false;
  for (int i = 0; i < n; i++) any |= m[i]->EnablingChange();
  return any;
}

bool BaseGroupClass::IsAMember(BaseActionClass* a) {
  for (int i = 0; i < numMembers; i++) {
    if (members[i] == a) return true;
  }
  return false;
}

namespace {

// Deeper nesting than this is not searched (and ends a cycle).
const int kMaxMemberDepth = 16;

// Whether a is g or one of the actions anywhere below it.
bool HoldsAction(BaseGroupClass* g, BaseActionClass* a, int depth) {
  if (g == a || g->IsAMember(a)) return true;
  if (depth >= kMaxMemberDepth) return false;
  for (int i = 0; i < g->getNumMembers(); i++) {
    BaseGroupClass* m = g->getMember(i);
    if (m != nullptr && m != g && HoldsAction(m, a, depth + 1)) return true;
  }
  return false;
}

}  // namespace

// The chance that a fires when the group fires in the current state, as
// SelectAction() chooses: among the enabled members of the highest rank (of
// whatever sign), in proportion to their weights.
double BaseGroupClass::Probability(BaseActionClass* a) {
  double sum = 0.0;
  int maxRank = 0;
  bool anyEnabled = false;
  BaseGroupClass* owner = nullptr;
  bool ownerEnabled = false;
  for (int i = 0; i < numMembers; i++) {
    BaseGroupClass* m = members[i];
    const bool enabled = m->Enabled();
    if (enabled) {
      int rank = m->Rank();
      if (!anyEnabled || rank > maxRank) {
        maxRank = rank;
        sum = 0.0;
        anyEnabled = true;
      }
      if (rank == maxRank) sum += m->Weight();
    }
    if (HoldsAction(m, a, 0)) {
      owner = m;
      ownerEnabled = enabled;
    }
  }
  // An action outside the group never fires through it, nor does one whose
  // member is not enabled while another member is.
  if (owner == nullptr) return 0.0;
  if (anyEnabled && !ownerEnabled) return 0.0;
  if (owner->Rank() < maxRank) return 0.0;
  if (sum == 0.0) std::printf("BaseGroupClass::Probability() TotalWeight is zero.\n");
  double p = owner->Weight() / sum;
  return owner->Probability(a) * p;
}

void BaseGroupClass::printEnablingState(std::ostream* s) {
  BaseActionClass* printed = getPrintedAction();
  List<BaseStateVariableClass>& svs = printed->enablingSVs;
  for (int i = 0; i < svs.getNumItems(); i++) svs[i]->printState(s);
}

BaseActionClass* BaseGroupClass::getPrintedAction() {
  if (numMembers > 0 && members[0] != nullptr) return members[0];
  return this;
}

namespace {

[[noreturn]] __attribute__((noinline, cold)) void ReportInvalidWeight(BaseActionClass* member,
                                                                    double weight) {
  std::cout.flush();
  std::cerr << "FATAL ERROR: In action " << (member->name != nullptr ? member->name : "")
            << ", case weight " << weight << " is negative, infinite or not a number" << std::endl;
  std::exit(1);
}

// A weight below zero, infinite or not a number (a global variable
// overridden past the range the model's weights allow, say) would make the
// choice among the cases meaningless: the cumulative weights would no longer
// rise, and the search over them would pick whatever it lands on. The
// selection only keeps the lowest weight and the total for the check; this
// finds the candidate to name (Weight() is a query, so asking again is safe).
[[noreturn]] __attribute__((noinline, cold)) void ReportInvalidWeights(
    const WeightDistributionEntry* entries, int count) {
  for (int j = 0; j < count; j++) {
    const double weight = entries[j].action->Weight();
    if (!(weight >= 0.0 && weight <= DBL_MAX)) ReportInvalidWeight(entries[j].action, weight);
  }
  // Finite weights whose sum overflows.
  ReportInvalidWeight(entries[count - 1].action, entries[count - 1].weight);
}

}  // namespace

// The members and the weights are kept in locals: the members' operations
// are opaque calls, after which the fields would otherwise be read again.
double BaseGroupClass::CalculateWeightDistribution() {
  BaseGroupClass* const* m = members;
  WeightDistributionEntry* const entries = weightDistribution;
  const int n = numMembers;
  int i = 0;
  while (i < n && !m[i]->Enabled()) {
    m[i]->disabled = true;
    i++;
  }
  if (i == n) return -1.0;
  BaseGroupClass* first = m[i];
  int rank = first->Rank();
  first->disabled = false;
  double cumulative = first->Weight();
  double lowest = cumulative;
  entries[0].weight = cumulative;
  entries[0].action = first;
  int k = 0;
  for (i++; i < n; i++) {
    BaseGroupClass* member = m[i];
    if (!member->Enabled()) {
      member->disabled = true;
      continue;
    }
    const int memberRank = member->Rank();
    if (memberRank < rank) {
      member->disabled = true;
    } else if (memberRank > rank) {
      rank = memberRank;
      cumulative = member->Weight();
      lowest = cumulative;
      entries[0].weight = cumulative;
      entries[0].action = member;
      member->disabled = false;
      k = 0;
    } else {
      member->disabled = false;
      const double weight = member->Weight();
      lowest = std::min(lowest, weight);
      cumulative = weight + cumulative;
      k++;
      entries[k].weight = cumulative;
      entries[k].action = member;
    }
  }
  // A not-a-number weight makes the total not a number, an infinite one
  // makes it infinite (or not a number).
  if (__builtin_expect(!(lowest >= 0.0) || !(cumulative <= DBL_MAX), 0)) {
    ReportInvalidWeights(entries, k + 1);
  }
  selectedRank = rank;
  numWeights = k + 1;
  return cumulative;
}

// The weight distribution is worked out inline: a case group selects at
// every firing.
__attribute__((flatten)) bool BaseGroupClass::SelectAction() {
  // The uniform is drawn before the members are asked, whatever they answer:
  // the random stream does not depend on the enabling.
  const double u = TheDistribution->generator->rnd();
  const double total = CalculateWeightDistribution();
  if (total == -1.0) return false;
  const double x = total * u;
  const WeightDistributionEntry* const entries = weightDistribution;
  int lo = 0;
  int hi = numWeights - 1;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (x < entries[mid].weight) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  // x reaches the total only for a uniform of exactly 1 (the Tausworthe
  // generator can return it): the last entry is then taken, but not one of
  // weight zero while an earlier one has weight.
  if (__builtin_expect(x >= total, 0) && total > 0.0) {
    while (lo > 0 && !(entries[lo].weight > entries[lo - 1].weight)) lo--;
  }
  BaseGroupClass* chosen = static_cast<BaseGroupClass*>(entries[lo].action);
  // An activity's own selection is its Enabled(), which it answered true a
  // moment ago in this same state (only queries ran since), so it is not
  // asked again: the answer would be the same, and the one trace of the
  // second question, previousEnabled, is read only by EnablingChange()
  // right after a new Enabled() has overwritten it.
  if (!chosen->isActivity) chosen->SelectAction();
  selectedAction = chosen->selectedAction;
  return true;
}

void BaseGroupClass::setGroupId(int newId) {
  for (int i = 0; i < numMembers; i++) {
    if (members[i] != nullptr) members[i]->setGroupId(newId);
  }
}

void BaseGroupClass::BaseGroupClassInitialize(const char* n, int g, Distribution d,
                                              ExecutionPolicyType p, int affectedCount,
                                              int enablingCount, bool r) {
  BaseActionClassInitialize(n, g, d, p, affectedCount, enablingCount, r);
}

// Members already held are kept (the arrays never shrink below them).
void BaseGroupClass::initialize(int n, const char* groupName) {
  ReallocateArrays(n < numMembers ? numMembers : n);
  defineName(groupName);
  selectedAction = nullptr;
  selectedRank = 0;
  numWeights = 0;
}

void BaseGroupClass::appendGroup(BaseGroupClass* g) {
  if (numMembers == arraySize) ReallocateArrays(arraySize + 1);
  members[numMembers++] = g;
}

void BaseGroupClass::appendMembers(BaseGroupClass* g) {
  if (arraySize < numMembers + g->numMembers) ReallocateArrays(numMembers + g->numMembers);
  for (int i = 0; i < g->numMembers; i++) members[numMembers++] = g->members[i];
}

void BaseGroupClass::enlargeArrays(int n) {
  KORVAN_ASSERT(n >= numMembers);
  ReallocateArrays(n);
}

void BaseGroupClass::setMember(BaseGroupClass* g, int index) {
  if (index < 0 || index >= numMembers) {
    ArrayOutOfBoundsError("Array out of bounds (BaseGroupClass::setMember()");
    return;
  }
  members[index] = g;
}

void BaseGroupClass::replaceMember(BaseActionClass* oldAction, BaseActionClass* newAction) {
  BaseGroupClass* newGroup = dynamic_cast<BaseGroupClass*>(newAction);
  for (int i = 0; i < numMembers; i++) {
    if (members[i] == oldAction) {
      KORVAN_ASSERT(newGroup != nullptr);
      members[i] = newGroup;
    }
  }
  if (selectedAction == oldAction) selectedAction = newAction;
}

void BaseGroupClass::ReallocateArrays(int n) {
  if (n < 0) n = 0;
  BaseGroupClass** newMembers = new (std::nothrow) BaseGroupClass*[n > 0 ? n : 1]();
  WeightDistributionEntry* newWeights = new (std::nothrow) WeightDistributionEntry[n > 0 ? n : 1]();
  if (newMembers == nullptr || newWeights == nullptr) MemoryAllocationError();
  for (int i = 0; i < numMembers; i++) newMembers[i] = members[i];
  delete[] members;
  delete[] weightDistribution;
  members = newMembers;
  weightDistribution = newWeights;
  arraySize = n;
  numWeights = 0;
}

void BaseGroupClass::PrintInfo() {
  std::cout << "************ Group: " << name << " ****************" << std::endl;
  std::cout << "Contains the following actions:" << std::endl;
  for (int i = 0; i < numMembers; i++) {
    std::cout << "  " << (members[i] != nullptr ? members[i]->name : "") << std::endl;
  }
  std::cout << "Selected Action = " << (selectedAction != nullptr ? selectedAction->name : "")
            << std::endl;
}

void BaseGroupClass::printGroup() {
  std::cout << "** Members of Group " << name << std::endl;
  printGroup("", 0);
}

void BaseGroupClass::printGroup(const char* prefix, int indent) {
  for (int i = 0; i < numMembers; i++) {
    BaseGroupClass* m = members[i];
    std::cout << std::string(indent > 0 ? indent : 0, ' ') << "[" << prefix << i << "] "
              << (m != nullptr ? m->name : "") << std::endl;
    if (m != nullptr && m->numMembers > 1) {
      int len = std::snprintf(nullptr, 0, "%s%d.", prefix, i);
      std::string nested(len + 1, '\0');
      std::snprintf(&nested[0], nested.size(), "%s%d.", prefix, i);
      nested.resize(len);
      m->printGroup(nested.c_str(), indent + 2);
    }
  }
}
