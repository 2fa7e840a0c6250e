#include "Cpp/BaseClasses/state/BaseStructStateVariable.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/BaseActionClass.h"
#include "Cpp/BaseClasses/state/Place.h"

namespace {

// A record whose 16-bit fields are places it creates and deletes itself.
class PlaceRecord : public BaseStructStateVariable {
 public:
  PlaceRecord(const char* n, const std::vector<const char*>& fieldNames)
      : BaseStructStateVariable(n, "") {
    names = fieldNames;
    std::vector<ArrayType> types(fieldNames.size(), SHORT_FIELD);
    makeArrays(types.data(), static_cast<int>(types.size()));
  }
  ~PlaceRecord() override {
    for (Place* p : owned) delete p;
  }
  Field field(ArrayType type, BaseStateVariableClass*) const override {
    PlaceRecord* self = const_cast<PlaceRecord*>(this);
    Place* p = new Place(names[owned.size()], 0);
    self->owned.push_back(p);
    return Field(p, type);
  }
  Place* at(int i) const { return owned[i]; }

  std::vector<const char*> names;
  std::vector<Place*> owned;
};

TEST(BaseStructStateVariableTest, ImageSizesFollowTheFieldKinds) {
  const ArrayType types[] = {SHORT_FIELD, CHAR_FIELD, DOUBLE_FIELD, INT_FIELD};
  BaseStructStateVariable s("s", "", types, 4);
  EXPECT_EQ(s.getSize(), 4);
  EXPECT_EQ(s.getType(2), DOUBLE_FIELD);
  EXPECT_EQ(s.calculateStateSize(), 15);
  EXPECT_EQ(s.StateSize(), 15);
  EXPECT_EQ(s.cachedStateSize, 15);
  // Fields without variables take their bytes and are otherwise skipped.
  char image[15] = {};
  s.CurrentState(image);
  s.SetState(image);
  const ArrayType more[] = {FLOAT_FIELD};
  s.makeArrays(more, 1);
  EXPECT_EQ(s.cachedStateSize, -1);
  EXPECT_EQ(s.StateSize(), 19);

  BaseStructStateVariable empty("e", "");
  EXPECT_TRUE(empty.isLeafNode());
  EXPECT_EQ(empty.getNumLeafNodes(), 1);
  EXPECT_EQ(empty.StateSize(), 0);
  BaseStructStateVariable defaulted;
  EXPECT_EQ(defaulted.cachedStateSize, 0);
  EXPECT_STREQ(defaulted.name, "default");
}

TEST(BaseStructStateVariableTest, RecordOfPlacesPrintsImagesAndExposesLeaves) {
  PlaceRecord s("s", {"a", "b"});
  s.at(0)->setMark(1);
  s.at(1)->setMark(2);
  std::ostringstream out;
  s.printState(&out);
  EXPECT_EQ(out.str(), "s = {\n.a = 1\n.b = 2\n}\n");
  EXPECT_FALSE(s.isLeafNode());
  EXPECT_EQ(s.getNumLeafNodes(), 2);
  EXPECT_EQ(s.StateSize(), 4);
  unsigned char image[4];
  s.CurrentState(image);
  EXPECT_EQ(image[0], 1);
  EXPECT_EQ(image[2], 2);
  image[2] = 9;
  s.SetState(image);
  EXPECT_EQ(s.at(1)->getMark(), 9);

  List<BaseStateVariableClass>* leaves = s.getLeafNodes();
  ASSERT_EQ(leaves->getNumItems(), 2);
  EXPECT_EQ(leaves->getItem(0), s.at(0));
  EXPECT_EQ(leaves->getItem(1), s.at(1));
  delete leaves;

  // Actions connected to the record hold its leaves.
  BaseActionClass reader;
  reader.addEnablingSV(&s);
  s.appendEnabledAction(&reader);
  ASSERT_EQ(reader.enablingSVs.getNumItems(), 2);
  EXPECT_EQ(reader.enablingSVs[0], s.at(0));
  EXPECT_EQ(s.at(1)->getEnabledAction(0), &reader);
  EXPECT_EQ(s.getEnabledAction(0), &reader);
  reader.removeEnablingSV(&s);
  EXPECT_EQ(reader.enablingSVs.getNumItems(), 0);
}

TEST(BaseStructStateVariableTest, SharingARecordSharesItsLeavesAndMakesOtherAFollower) {
  PlaceRecord mine("mine", {"a", "b"});
  PlaceRecord theirs("theirs", {"x", "y"});
  theirs.at(0)->setMark(5);
  theirs.at(1)->setMark(6);
  BaseActionClass writer, reader;
  theirs.appendAffectingAction(&writer);
  writer.affectedSVs.append(&theirs);  // a record held by an action directly
  theirs.appendEnabledAction(&reader);
  reader.enablingSVs.append(&mine);
  reader.enablingSVs.append(&theirs);

  mine.share(&theirs);

  EXPECT_FALSE(theirs.getStored());
  EXPECT_TRUE(theirs.getShared());
  EXPECT_EQ(theirs.affectingActions, mine.affectingActions);
  EXPECT_EQ(mine.getAffectingAction(0), &writer);
  EXPECT_EQ(mine.getEnabledAction(0), &reader);
  EXPECT_EQ(writer.affectedSVs[0], &mine);
  ASSERT_EQ(reader.enablingSVs.getNumItems(), 1);
  EXPECT_EQ(reader.enablingSVs[0], &mine);
  // Leaves took other's values and are one storage.
  EXPECT_EQ(mine.at(0)->getMark(), 5);
  mine.at(1)->setMark(42);
  EXPECT_EQ(theirs.at(1)->getMark(), 42);
  EXPECT_EQ(mine.StateSize(), 4);
}

// A record whose one field is declared as a byte but holds a place (two
// bytes).
class MisdeclaredRecord : public BaseStructStateVariable {
 public:
  MisdeclaredRecord() : BaseStructStateVariable("m", "") {
    const ArrayType types[] = {CHAR_FIELD};
    makeArrays(types, 1);
  }
  ~MisdeclaredRecord() override { delete place; }
  Field field(ArrayType type, BaseStateVariableClass*) const override {
    const_cast<MisdeclaredRecord*>(this)->place = new Place("c", 3);
    return Field(place, type);
  }
  Place* place = nullptr;
};

TEST(BaseStructStateVariableDeathTest, SharingWithAShorterOrNonStructuredVariableFails) {
  EXPECT_DEATH(
      {
        PlaceRecord a("a", {"p", "q"});
        PlaceRecord b("b", {"r"});
        a.share(&b);
      },
      "otheri!=otherStruct->fields.end\\(\\)");
  // A longer one too: its extra fields would be in no state image.
  EXPECT_DEATH(
      {
        PlaceRecord a("a", {"p"});
        PlaceRecord b("b", {"r", "s"});
        a.share(&b);
      },
      "otheri == otherStruct->fields.end\\(\\)");
  // A field whose variable does not fit its kind's bytes would be written
  // over the next field or past the image.
  EXPECT_DEATH(
      {
        MisdeclaredRecord m;
        std::vector<char> image(static_cast<size_t>(m.StateSize()));
        m.CurrentState(image.data());
      },
      "ArrayType is invalid for struct element");
  EXPECT_DEATH(
      {
        MisdeclaredRecord m;
        std::vector<char> image(static_cast<size_t>(m.StateSize()));
        m.SetState(image.data());
      },
      "ArrayType is invalid for struct element");
  EXPECT_DEATH(
      {
        PlaceRecord a("a", {"p"});
        Place p("p", 0);
        a.share(&p);
      },
      "otherStruct");
  EXPECT_DEATH(
      {
        const ArrayType types[] = {SHORT_FIELD};
        BaseStructStateVariable s("s", "", types, 1);
        delete s.getLeafNodes();
      },
      "childTemp");
}

}  // namespace
