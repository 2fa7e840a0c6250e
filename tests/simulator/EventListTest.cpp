#include "simulator/EventList.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <vector>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "random/Distributions.h"
#include "simulator/SimulatorClass.h"

namespace {

// A group with a fixed rank and weight and its own schedule record.
class FakeGroup : public BaseActionClass {
 public:
  FakeGroup(const char* name, int rank, double weight) : fixedRank(rank), weight_(weight) {
    defineName(name);
    eventInfo = &record;
  }
  int Rank() override {
    rankCalls++;
    return fixedRank;
  }
  double Weight() override { return weight_; }
  ScheduleRecord record;
  const int fixedRank;
  long rankCalls = 0;

 private:
  double weight_;
};

// Hands out a fixed uniform and counts the draws.
class FixedGenerator : public RandomNumberGenerator {
 public:
  explicit FixedGenerator(double value) : value(value) {}
  double rnd() override {
    draws++;
    return value;
  }
  double value;
  int draws = 0;
};

// Installs a generator into the program-wide distribution object for the
// life of a test, and puts the previous one back afterwards.
class GeneratorSwap {
 public:
  explicit GeneratorSwap(RandomNumberGenerator* generator)
      : saved_(TheDistribution->generator) {
    TheDistribution->generator = generator;
  }
  ~GeneratorSwap() {
    delete TheDistribution->generator;
    TheDistribution->generator = saved_;
  }

 private:
  RandomNumberGenerator* saved_;
};

void Schedule(EventList& list, FakeGroup& group, double time) {
  Event e(time, 0.0, &group);
  list.Insert(&e);
}

TEST(EventListTest, EarlierTimeThenHigherRankFiresFirst) {
  FakeGroup low("low", 1, 100.0), high("high", 2, 0.001), later("later", 5, 1.0);
  EventList list(4);
  Schedule(list, low, 1.0);
  Schedule(list, later, 2.0);
  Schedule(list, high, 1.0);
  ASSERT_EQ(list.IsValid(), 0);
  FixedGenerator* generator = new FixedGenerator(0.5);
  GeneratorSwap swap(generator);
  Event** slot = list.Earliest();
  ASSERT_NE(slot, nullptr);
  EXPECT_EQ((*slot)->action, &high);
  EXPECT_EQ(generator->draws, 0);  // no tie, no draw
  list.Remove(slot);
  EXPECT_EQ(high.record.eventSlot, nullptr);
  EXPECT_EQ((*list.Earliest())->action, &low);
  EXPECT_EQ(list.IsValid(), 0);
  EXPECT_EQ(list.Size() + list.FreeCount(), list.Capacity());
}

TEST(EventListTest, TiesAreDrawnInProportionToWeightInTieOrder) {
  FakeGroup a("a", 1, 1.0), b("b", 1, 1.0), c("c", 1, 2.0);
  EventList list(4);
  Schedule(list, a, 3.0);
  Schedule(list, b, 3.0);
  Schedule(list, c, 3.0);
  FixedGenerator* generator = new FixedGenerator(0.0);
  GeneratorSwap swap(generator);
  // Tie order is a pre-order walk of the heap: a (root), b, c. Total 4.
  struct Case {
    double u;
    FakeGroup* expected;
  } cases[] = {{0.0, &a}, {0.2499, &a}, {0.25, &b}, {0.4999, &b}, {0.5, &c}, {0.9999, &c}};
  for (const Case& k : cases) {
    generator->value = k.u;
    int before = generator->draws;
    EXPECT_EQ((*list.Earliest())->action, k.expected) << "u = " << k.u;
    EXPECT_EQ(generator->draws, before + 1);
  }
}

// A uniform of exactly 1 (the Tausworthe generator returns it for one of
// its states) leaves no running total above the target: the last tie that
// has weight is taken, never a later one of weight zero.
TEST(EventListTest, AUniformOfOneNeverChoosesATieOfWeightZero) {
  FakeGroup a("a", 1, 1.0), b("b", 1, 3.0), none("none", 1, 0.0);
  EventList list(4);
  Schedule(list, a, 1.0);
  Schedule(list, b, 1.0);
  Schedule(list, none, 1.0);
  GeneratorSwap swap(new FixedGenerator(1.0));
  EXPECT_EQ((*list.Earliest())->action, &b);
}

TEST(EventListTest, AllZeroWeightTiesStillYieldATie) {
  FakeGroup a("a", 1, 0.0), b("b", 1, 0.0);
  EventList list(2);
  Schedule(list, a, 1.0);
  Schedule(list, b, 1.0);
  GeneratorSwap swap(new FixedGenerator(0.3));
  BaseActionClass* chosen = (*list.Earliest())->action;
  EXPECT_TRUE(chosen == &a || chosen == &b);
}

TEST(EventListTest, WeightedDrawFollowsTheWeightsStatistically) {
  FakeGroup a("a", 1, 1.0), b("b", 1, 1.0), c("c", 1, 2.0);
  EventList list(3);
  Schedule(list, a, 7.0);
  Schedule(list, b, 7.0);
  Schedule(list, c, 7.0);
  UserDistributions* saved = TheDistribution;
  UserDistributions seeded(0, 4242);
  TheDistribution = &seeded;
  std::map<BaseActionClass*, int> counts;
  const int kDraws = 40000;
  for (int i = 0; i < kDraws; i++) counts[(*list.Earliest())->action]++;
  TheDistribution = saved;
  // Binomial standard deviation is at most sqrt(0.25 * 40000) = 100 draws,
  // i.e. 0.0025 as a share; 0.015 is six of them.
  EXPECT_NEAR(counts[&a] / double(kDraws), 0.25, 0.015);
  EXPECT_NEAR(counts[&b] / double(kDraws), 0.25, 0.015);
  EXPECT_NEAR(counts[&c] / double(kDraws), 0.50, 0.015);
}

TEST(EventListTest, RemovalAndRekeyingKeepSlotsCurrent) {
  std::vector<std::unique_ptr<FakeGroup>> groups;
  for (int i = 0; i < 5; i++) groups.emplace_back(new FakeGroup("g", 1, 1.0));
  EventList list(5);
  for (int i = 0; i < 5; i++) Schedule(list, *groups[i], 10.0 + i);
  // Removing the last slot moves nothing.
  Event** last = list.Slot(4);
  BaseActionClass* lastAction = (*last)->action;
  static_cast<FakeGroup*>(lastAction)->record.eventSlot = last;
  list.Remove(last);
  EXPECT_EQ(list.IsValid(), 0);
  // Removing the root moves the last event up and sifts it down.
  list.Remove(groups[0]->record.eventSlot);
  EXPECT_EQ((*list.Earliest())->action, groups[1].get());
  EXPECT_EQ(list.IsValid(), 0);
  // Re-keying to a later time moves an event down, to an earlier time up.
  Event** slot = groups[1]->record.eventSlot;
  (*slot)->time = 100.0;
  list.ModifyKey(slot);
  EXPECT_EQ(list.IsValid(), 0);
  EXPECT_NE((*list.Earliest())->action, groups[1].get());
  slot = groups[3]->record.eventSlot;
  (*slot)->time = 0.5;
  list.ModifyKey(slot);
  EXPECT_EQ((*list.Earliest())->action, groups[3].get());
  EXPECT_EQ(list.IsValid(), 0);
  // Remove through the record, as the simulator does.
  list.Remove(static_cast<void*>(&groups[3]->record));
  EXPECT_EQ(groups[3]->record.eventSlot, nullptr);
  EXPECT_EQ(list.IsValid(), 0);
}

// A self-check whose failures at slot 0 read as 0 would pass a corrupted
// list: such failures are told apart from success.
TEST(EventListTest, SelfCheckReportsFailuresAtSlotZero) {
  FakeGroup a("a", 1, 1.0), b("b", 1, 1.0);
  EventList list(3);
  // A filled slot past the end of an empty heap.
  Schedule(list, a, 1.0);
  Event* spare = *list.Slot(0);
  list.Remove(a.record.eventSlot);
  *list.Slot(0) = spare;
  EXPECT_EQ(list.IsValid(), 3);
  *list.Slot(0) = nullptr;
  EXPECT_EQ(list.IsValid(), 0);
  // A spare event in slot 0 that its group points back at.
  Schedule(list, a, 1.0);
  Schedule(list, b, 2.0);
  Event* held = *list.Slot(0);
  spare = *list.Slot(1);
  list.Remove(b.record.eventSlot);
  *list.Slot(0) = spare;
  b.record.eventSlot = list.Slot(0);
  EXPECT_EQ(list.IsValid(), -3);
  *list.Slot(0) = held;
  b.record.eventSlot = nullptr;
  EXPECT_EQ(list.IsValid(), 0);
}

TEST(EventListTest, ClearingUnschedulesEveryGroup) {
  FakeGroup a("a", 1, 1.0), b("b", 1, 1.0);
  EventList list(3);
  Schedule(list, a, 1.0);
  Schedule(list, b, 2.0);
  a.record.notInReactivationList = false;
  list.ClearEventList();
  EXPECT_EQ(list.Size(), 0);
  EXPECT_EQ(list.FreeCount(), 3);
  EXPECT_EQ(a.record.eventSlot, nullptr);
  EXPECT_EQ(b.record.eventSlot, nullptr);
  EXPECT_TRUE(a.record.notInReactivationList);
  EXPECT_EQ(list.Earliest(), nullptr);
  EXPECT_EQ(list.IsValid(), 0);
}

TEST(EventListTest, AgreesWithAReferenceUnderRandomOperations) {
  const int kGroups = 40;
  std::vector<std::unique_ptr<FakeGroup>> groups;
  std::mt19937 random(99);
  for (int i = 0; i < kGroups; i++) {
    groups.emplace_back(new FakeGroup("g", 1 + static_cast<int>(random() % 3), 1.0));
  }
  EventList list(kGroups + 1);
  std::map<FakeGroup*, double> reference;
  GeneratorSwap swap(new FixedGenerator(0.5));
  for (int step = 0; step < 20000; step++) {
    FakeGroup* g = groups[random() % kGroups].get();
    double time = static_cast<double>(random() % 30);  // frequent exact ties
    int op = static_cast<int>(random() % 3);
    if (reference.count(g) == 0) {
      Schedule(list, *g, time);
      reference[g] = time;
    } else if (op == 0) {
      list.Remove(g->record.eventSlot);
      reference.erase(g);
    } else {
      (*g->record.eventSlot)->time = time;
      list.ModifyKey(g->record.eventSlot);
      reference[g] = time;
    }
    ASSERT_EQ(list.IsValid(), 0) << "after step " << step;
    ASSERT_EQ(list.Size(), static_cast<int>(reference.size()));
    if (reference.empty()) continue;
    // The earliest must have the smallest time and, among those, the
    // highest rank.
    double best = 1e300;
    int bestRank = -1;
    for (const auto& entry : reference) {
      if (entry.second < best || (entry.second == best && entry.first->Rank() > bestRank)) {
        best = entry.second;
        bestRank = entry.first->Rank();
      }
    }
    Event* first = *list.Earliest();
    ASSERT_EQ(first->time, best);
    ASSERT_EQ(first->action->Rank(), bestRank);
  }
}

// The sifts as the list's contract states them, one swap at a time, over
// plain (time, group) pairs: the reference for the slot order, which decides
// the order of exact ties and so the draws among them. Rank() is asked only
// between equal times, two at a time; the reference counts those questions.
class ReferenceHeap {
 public:
  struct Node {
    double time;
    FakeGroup* group;
  };
  void Insert(double time, FakeGroup* g) {
    nodes.push_back({time, g});
    BubbleUp(static_cast<int>(nodes.size()) - 1);
  }
  void Remove(int i) {
    const int last = static_cast<int>(nodes.size()) - 1;
    if (i != last) nodes[i] = nodes[last];
    nodes.pop_back();
    if (i != last && BubbleUp(i) == i) BubbleDown(i);
  }
  void Rekey(int i, double time) {
    nodes[i].time = time;
    if (BubbleUp(i) == i) BubbleDown(i);
  }
  // The tied slots in the list's walk order (node, left subtree, right).
  void Ties(int i, std::vector<int>* out) {
    out->push_back(i);
    for (int c = 2 * i + 1; c <= 2 * i + 2 && c < static_cast<int>(nodes.size()); c++) {
      if (nodes[c].time == nodes[i].time && RankOf(c) == RankOf(i)) Ties(c, out);
    }
  }
  int Find(FakeGroup* g) const {
    for (size_t i = 0; i < nodes.size(); i++) {
      if (nodes[i].group == g) return static_cast<int>(i);
    }
    return -1;
  }
  std::vector<Node> nodes;
  long rankQuestions = 0;

 private:
  int RankOf(int i) {
    rankQuestions++;
    return nodes[i].group->fixedRank;
  }
  bool Before(int a, int b) {
    if (nodes[a].time != nodes[b].time) return nodes[a].time < nodes[b].time;
    return RankOf(a) > RankOf(b);
  }
  int BubbleUp(int i) {
    while (i > 0 && Before(i, (i - 1) / 2)) {
      std::swap(nodes[i], nodes[(i - 1) / 2]);
      i = (i - 1) / 2;
    }
    return i;
  }
  void BubbleDown(int i) {
    for (;;) {
      const int l = 2 * i + 1, n = static_cast<int>(nodes.size());
      if (l >= n) return;
      const int child = l + 1 < n && Before(l + 1, l) ? l + 1 : l;
      if (!Before(child, i)) return;
      std::swap(nodes[i], nodes[child]);
      i = child;
    }
  }
};

// Runs 20 000 random inserts, removals and re-keyings with times from
// timeOf(draw) against the reference, comparing every slot, the tie chosen
// and the number of Rank() questions after each.
void CheckAgainstReference(unsigned seed, double (*timeOf)(unsigned)) {
  const int kGroups = 12;
  std::vector<std::unique_ptr<FakeGroup>> groups;
  std::mt19937 random(seed);
  for (int i = 0; i < kGroups; i++) {
    groups.emplace_back(new FakeGroup("g", 1 + static_cast<int>(random() % 2), 1.0));
  }
  EventList list(kGroups + 1);
  ReferenceHeap reference;
  GeneratorSwap swap(new FixedGenerator(0.6));
  auto rankCalls = [&groups] {
    long calls = 0;
    for (const auto& g : groups) calls += g->rankCalls;
    return calls;
  };
  for (int step = 0; step < 20000; step++) {
    FakeGroup* g = groups[random() % kGroups].get();
    const double time = timeOf(random());
    const int at = reference.Find(g);
    if (at < 0) {
      Schedule(list, *g, time);
      reference.Insert(time, g);
    } else if (random() % 2 == 0) {
      list.Remove(g->record.eventSlot);
      reference.Remove(at);
    } else {
      (*g->record.eventSlot)->time = time;
      list.ModifyKey(g->record.eventSlot);
      reference.Rekey(at, time);
    }
    ASSERT_EQ(list.IsValid(), 0) << "after step " << step;
    ASSERT_EQ(list.Size(), static_cast<int>(reference.nodes.size()));
    for (int k = 0; k < list.Size(); k++) {
      ASSERT_EQ((*list.Slot(k))->action, reference.nodes[k].group) << "slot " << k;
      ASSERT_EQ((*list.Slot(k))->time, reference.nodes[k].time) << "slot " << k;
    }
    if (reference.nodes.empty()) continue;
    // The draw among ties (all weights 1, u = 0.6) picks by walk order.
    std::vector<int> ties;
    reference.Ties(0, &ties);
    const int expected = ties[static_cast<size_t>(0.6 * ties.size())];
    ASSERT_EQ(list.Earliest(), list.Slot(expected)) << "after step " << step;
    ASSERT_EQ(rankCalls(), reference.rankQuestions) << "after step " << step;
  }
}

TEST(EventListTest, KeepsTheSlotOrderOfOneSwapAtATime) {
  // Six distinct times: many exact ties, met at every depth of the sifts.
  CheckAgainstReference(7, [](unsigned draw) { return static_cast<double>(draw % 6); });
}

TEST(EventListTest, InfiniteTimesKeepTheReferenceOrder) {
  // Infinite times (an exponential delay of rate 0) tie with each other and
  // go to the ranks like any equal times.
  CheckAgainstReference(11, [](unsigned draw) {
    return draw % 3 == 0 ? std::numeric_limits<double>::infinity()
                         : static_cast<double>(draw % 4);
  });
}

TEST(EventListTest, PrintsSlotsInHeapOrder) {
  FakeGroup a("first", 1, 1.0), b("second", 1, 1.0);
  EventList list(2);
  Event e(2.5, 0.5, &a);
  list.Insert(&e);
  Event f(1.25, 0.0, &b);
  list.Insert(&f);
  std::ostringstream out;
  list.PrintList(out);
  EXPECT_EQ(out.str(),
            "------------------Event List-----------------\n"
            "(second) 0 --> 1.25\n"
            "(first) 0.5 --> 2.5\n"
            "---------------------------------------------\n\n");
}

}  // namespace
