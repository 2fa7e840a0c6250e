#include "Cpp/BaseClasses/ErrorReporting.h"

#include <gtest/gtest.h>

#include "Cpp/BaseClasses/KorvanAssert.h"

namespace {

std::string Captured(void (*report)()) {
  testing::internal::CaptureStderr();
  report();
  return testing::internal::GetCapturedStderr();
}

TEST(ErrorReportingTest, ReportersWriteTheirFixedTextsOnOneLine) {
  EXPECT_EQ(Captured(InconsistantState),
            "This program has entered into an inconsistant state. Please report this bug.\n");
  EXPECT_EQ(Captured(MemoryError), "Memory Error\n");
  EXPECT_EQ(Captured(UserError), "A user error has been detected\n");
  EXPECT_EQ(Captured(InvalidArrayType), "ArrayType is not valid\n");
  EXPECT_EQ(Captured(InvalidUnorderedType), "ArrayType is invalid for unordered element\n");
  EXPECT_EQ(Captured(SyncError::WrongDistributionType),
            "You can only synchronize actions from one type,either exponential or instantenous\n");
  EXPECT_EQ(Captured(SyncError::NoAction), " no Action found in model\n");

  testing::internal::CaptureStderr();
  ArrayOutOfBoundsError("BaseGroupClass::setMember()");
  ArrayOutOfBoundsError(nullptr);
  ErrorEmptyParameter("model");
  ArrayTypeMismatchError("a", "b");
  StructTypeMismatchError("s", nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Array out of bounds error at BaseGroupClass::setMember()\n"
            "Array out of bounds error at \n"
            "model: Parameter was an empty reference\n"
            "Array types for equivalence sharing do not match for state variables:   a  b\n"
            "Struct types for equivalence sharing do not match for state variables:   s  \n");
}

TEST(ErrorReportingDeathTest, OutOfMemoryEndsWithStatusOneAndTwoLines) {
  EXPECT_EXIT(MemoryAllocationError(), testing::ExitedWithCode(1),
              "^Insufficient Memory to allocate dynamic data structures from heap memory\n"
              "Exiting program...\n$");
  EXPECT_DEATH(InvalidStructType(), "ArrayType is invalid for struct element");
}

TEST(ErrorReportingDeathTest, AssertionsNameTheExpressionFileAndLineInEveryBuild) {
  int size = 0;
  EXPECT_DEATH(KORVAN_ASSERT(size > 0), "ErrorReportingTest.cpp:[0-9]+: .*Assertion `size > 0' failed");
}

}  // namespace
