// Joins inside joins sharing places and records at both levels: state
// images, the action lists of the merged variables, and the record of what
// was merged.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Cpp/BaseClasses/Activity.h"
#include "Cpp/BaseClasses/SANModel.h"
#include "Cpp/BaseClasses/state/BaseStructStateVariable.h"
#include "Cpp/BaseClasses/state/Place.h"
#include "Cpp/Composer/Join.h"
#include "tests/Cpp/Composer/NestedRecordModels.h"

namespace {

using namespace nested;

std::vector<unsigned char> Image(BaseModelClass* m) {
  std::vector<unsigned char> image(static_cast<size_t>(m->StateSize()));
  m->CurrentState(image.data());
  return image;
}

// Inner join of A and B sharing their records, and C beside it, for an
// outer join to take (which owns them).
struct Nested {
  RecSAN* a = new RecSAN("A", 1, {1, 0});
  RecSAN* b = new RecSAN("B", 2, {2, 0});
  RecJoin* inner = new RecJoin({a, b}, {"A", "B"}, {&a->r, &b->r});
  RecSAN* c = new RecSAN("C", 3, {3, 4});
};

// Inner join of A and B sharing their records; outer join of the inner join
// and C sharing the inner join's record with C's. By hand: A, B, C each keep
// p (2 bytes) in their own image, the one record (4 bytes) lives in the
// outer shared part only: 2 + 2 + 2 + 4 = 10 bytes.
TEST(NestedCompositionTest, RecordSharedAtTwoLevelsIsSavedOnceAndRoundTrips) {
  const Nested n;
  RecSAN *a = n.a, *b = n.b, *c = n.c;
  RecJoin* inner = n.inner;
  RecJoin outer({inner, c}, {"I", "C"}, {inner->joint, &c->r});

  EXPECT_EQ(a->r.at(0)->getMark(), 3);
  EXPECT_EQ(b->r.at(1)->getMark(), 4);
  EXPECT_EQ(outer.StateSize(), 10);
  EXPECT_EQ(Image(&outer), (std::vector<unsigned char>{1, 0, 2, 0, 3, 0, 3, 0, 4, 0}));
  std::vector<unsigned char> initial = Image(&outer);
  a->move.Fire();
  EXPECT_EQ(c->r.at(1)->getMark(), 5);
  outer.SetState(initial.data());
  EXPECT_EQ(b->r.at(0)->getMark(), 3);
  EXPECT_EQ(b->r.at(1)->getMark(), 4);
}

// The action lists of every record merged at the inner level stay readable
// after the outer level merged the inner join's record: the reward model
// reads them (by submodel and variable name) and so does GetGlobalActions.
TEST(NestedCompositionTest, RecordsMergedAtTheInnerLevelKeepTheirActionLists) {
  const Nested n;
  RecSAN *a = n.a, *b = n.b, *c = n.c;
  RecJoin* inner = n.inner;
  RecJoin outer({inner, c}, {"I", "C"}, {inner->joint, &c->r});

  // Every record of the group reads the merged lists: all three moves.
  const char* which[] = {"A.r", "B.r", "C.r", "inner.r"};
  Record* records[] = {&a->r, &b->r, &c->r, inner->joint};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(records[i]->getAffectingActions(), outer.joint->getAffectingActions()) << which[i];
  }
  EXPECT_EQ(a->r.getNumAffectingActions(), 3);
  slist<BaseActionClass*> global;
  a->GetGlobalActions(global);
  EXPECT_EQ(std::distance(global.begin(), global.end()), 1);
}

// An outer join that names a grandchild's record (already merged by the
// inner join) keeps one copy of the record in the image, like places.
TEST(NestedCompositionTest, OuterJoinNamingAGrandchildsRecordSavesItOnce) {
  const Nested n;
  RecSAN *a = n.a, *b = n.b, *c = n.c;
  RecJoin* inner = n.inner;
  RecJoin outer({inner, c}, {"I", "C"}, {&a->r, &c->r});
  // A.p B.p C.p, and the record once: 10 bytes, as with the inner record.
  EXPECT_EQ(outer.StateSize(), 10);
  // One storage, so one list of the actions that change it: every record of
  // the group lists all three moves.
  const char* which[] = {"A.r", "B.r", "C.r", "inner.r", "outer.r"};
  Record* records[] = {&a->r, &b->r, &c->r, inner->joint, outer.joint};
  for (int i = 0; i < 5; i++) EXPECT_EQ(records[i]->getNumAffectingActions(), 3) << which[i];
  std::vector<Place*> places = {&a->p, &b->p, &c->p, a->r.at(0), a->r.at(1), c->r.at(0), c->r.at(1)};
  std::vector<short> before;
  for (Place* p : places) before.push_back(p->getMark());
  std::vector<unsigned char> initial = Image(&outer);
  a->move.Fire();
  outer.SetState(initial.data());
  std::vector<short> after;
  for (Place* p : places) after.push_back(p->getMark());
  EXPECT_EQ(after, before);
}

}  // namespace
