#include "Cpp/BaseClasses/BaseStudyClass.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A study with one global of every override type; OverrideGVValue copies a
// value of the variable's own width, as a generated study does.
class TypedStudy : public BaseStudyClass {
 public:
  TypedStudy() {
    static const char* kNames[] = {"flag", "letter", "dbl", "flt", "int", "lng", "sht"};
    static const char* kTypes[] = {"bool", "char", "double", "float", "int", "long", "short"};
    numGVs = 7;
    numExperiments = 4;
    gvNames = new char*[numGVs];
    gvTypes = new char*[numGVs];
    for (int i = 0; i < numGVs; i++) {
      gvNames[i] = strdup(kNames[i]);
      gvTypes[i] = strdup(kTypes[i]);
    }
  }

  void OverrideGVValue(char* name, void* v) override {
    std::string n = name;
    calls++;
    if (n == "flag") {
      flag = *static_cast<bool*>(v);
    } else if (n == "letter") {
      letter = *static_cast<char*>(v);
    } else if (n == "dbl") {
      dbl = *static_cast<double*>(v);
    } else if (n == "flt") {
      flt = *static_cast<float*>(v);
    } else if (n == "int") {
      integer = *static_cast<int*>(v);
    } else if (n == "lng") {
      lng = *static_cast<long*>(v);
    } else if (n == "sht") {
      sht = *static_cast<short*>(v);
    }
  }

  bool flag = false;
  char letter = '?';
  double dbl = -1.0;
  float flt = -1.0f;
  int integer = -1;
  long lng = -1;
  short sht = -1;
  int calls = 0;
};

// Runs overrideGVs on a writable copy of text and returns what it printed.
std::string Override(BaseStudyClass* study, const char* text) {
  char* copy = strdup(text);
  testing::internal::CaptureStdout();
  study->overrideGVs(copy);
  std::string out = testing::internal::GetCapturedStdout();
  // The study works on its own copy: the caller's string is left intact.
  EXPECT_STREQ(copy, text);
  free(copy);
  return out;
}

TEST(BaseStudyClassTest, EveryTypeLetterConvertsItsValue) {
  TypedStudy study;
  std::string out = Override(
      &study, "b:flag:2:c:letter:xyz:d:dbl:0.25:f:flt:0.5:i:int:0x10:l:lng:-7:s:sht:3");
  EXPECT_EQ(out, "");
  EXPECT_TRUE(study.flag);
  EXPECT_EQ(study.letter, 'x');
  EXPECT_EQ(study.dbl, 0.25);
  EXPECT_EQ(study.flt, 0.5f);
  EXPECT_EQ(study.integer, 16);  // read as "%i" reads it: hexadecimal by prefix
  EXPECT_EQ(study.lng, -7);
  EXPECT_EQ(study.sht, 3);
  EXPECT_EQ(study.calls, 7);

  Override(&study, "b:flag:0:i:int:010");
  EXPECT_FALSE(study.flag);
  EXPECT_EQ(study.integer, 8);  // octal by prefix
}

TEST(BaseStudyClassTest, TokensAreSplitOnColonsSkippingEmptyOnesAndLongLetters) {
  TypedStudy study;
  // The first character of the letter token is the type letter.
  Override(&study, "float:flt:64");
  EXPECT_EQ(study.flt, 64.0f);
  // Leading, doubled and trailing colons make no tokens.
  Override(&study, "::s::sht:::12:");
  EXPECT_EQ(study.sht, 12);
  // A null string and an empty one do nothing.
  testing::internal::CaptureStdout();
  study.overrideGVs(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(Override(&study, ":::"), "");
  EXPECT_EQ(study.calls, 2);
}

TEST(BaseStudyClassTest, MissingTokensStopTheRestOfTheString) {
  TypedStudy study;
  EXPECT_EQ(Override(&study, "f:flt"), "Not enough double override tokens");
  EXPECT_EQ(study.calls, 0);
  // Groups already applied stay applied.
  EXPECT_EQ(Override(&study, "s:sht:4:f"), "Not enough double override tokens");
  EXPECT_EQ(study.sht, 4);
  EXPECT_EQ(study.calls, 1);
}

TEST(BaseStudyClassTest, UnknownLetterSkipsOnlyItsGroup) {
  TypedStudy study;
  EXPECT_EQ(Override(&study, "x:flt:1:f:flt:32"), "Type x not recognized\n");
  EXPECT_EQ(study.flt, 32.0f);
  EXPECT_EQ(study.calls, 1);
}

// The user's text is printed with its control characters escaped: a newline
// cannot split a message in two, nor an escape sequence reach the terminal.
TEST(BaseStudyClassTest, ReportedTextIsPrintable) {
  TypedStudy study;
  EXPECT_EQ(Override(&study, "\a:flt:1:f:flt:1\n2:i:flt:\x1b[31m"),
            "Type \\x07 not recognized\n"
            "Value 1\\x0A2 for flt not recognized as type f\n"
            "Type i does not match type float of flt\n");
  EXPECT_EQ(Override(&study, "f:\x7f\x01" "flt:x"), "Value x for \\x7F\\x01flt not recognized as type f\n");
  EXPECT_EQ(BaseStudyClass::Printable(nullptr), "(null)");
  // A backslash is escaped too, so that no text prints as another would;
  // UTF-8 is kept.
  EXPECT_EQ(BaseStudyClass::Printable("a\\x0A \xc3\xa9"), "a\\x5Cx0A \xc3\xa9");
}

TEST(BaseStudyClassTest, ValueThatDoesNotConvertIsReportedAndSkipped) {
  TypedStudy study;
  std::string out = Override(&study, "f:flt:abc:s:sht:4:i:int: :d:dbl:x1");
  EXPECT_EQ(out,
            "Value abc for flt not recognized as type f\n"
            "Value   for int not recognized as type i\n"
            "Value x1 for dbl not recognized as type d\n");
  EXPECT_EQ(study.flt, -1.0f);
  EXPECT_EQ(study.integer, -1);
  EXPECT_EQ(study.dbl, -1.0);
  EXPECT_EQ(study.sht, 4);
  EXPECT_EQ(study.calls, 1);

  // Integers that do not fit their type have no defined value either.
  out = Override(&study, "s:sht:70000:b:flag:-40000:i:int:99999999999:l:lng:1e");
  EXPECT_EQ(out,
            "Value 70000 for sht not recognized as type s\n"
            "Value -40000 for flag not recognized as type b\n"
            "Value 99999999999 for int not recognized as type i\n"
            "Value 1e for lng not recognized as type l\n");
  EXPECT_EQ(study.sht, 4);
  EXPECT_EQ(study.lng, -1);

  // A value that only begins with a number is not that number: a decimal
  // comma, a leading zero that makes the rest octal, an exponent on an
  // integer, a unit. Blanks around the number are still taken.
  out = Override(&study, "f:flt:0,5:s:sht:08:i:int:3e1:d:dbl:256abc:l:lng: 0x10 ");
  EXPECT_EQ(out,
            "Value 0,5 for flt not recognized as type f\n"
            "Value 08 for sht not recognized as type s\n"
            "Value 3e1 for int not recognized as type i\n"
            "Value 256abc for dbl not recognized as type d\n");
  EXPECT_EQ(study.flt, -1.0f);
  EXPECT_EQ(study.sht, 4);
  EXPECT_EQ(study.integer, -1);
  EXPECT_EQ(study.dbl, -1.0);
  EXPECT_EQ(study.lng, 16);
}

// A real beyond its type's range read as an infinity that nobody wrote, so
// it is refused like an integer beyond its range; an infinity written as
// such, and a number too small for the type (which reads as 0 or as the
// nearest tiny value), are still taken.
TEST(BaseStudyClassTest, RealsBeyondTheirTypesRangeAreRefused) {
  TypedStudy study;
  std::string out = Override(&study, "f:flt:1e40:d:dbl:1e400:f:flt:-3.5e38:d:dbl:-1e309");
  EXPECT_EQ(out,
            "Value 1e40 for flt not recognized as type f\n"
            "Value 1e400 for dbl not recognized as type d\n"
            "Value -3.5e38 for flt not recognized as type f\n"
            "Value -1e309 for dbl not recognized as type d\n");
  EXPECT_EQ(study.flt, -1.0f);
  EXPECT_EQ(study.dbl, -1.0);
  EXPECT_EQ(study.calls, 0);
  EXPECT_EQ(Override(&study, "f:flt:3.4e38:d:dbl:1.7e308"), "");
  EXPECT_EQ(study.flt, 3.4e38f);
  EXPECT_EQ(study.dbl, 1.7e308);
  EXPECT_EQ(Override(&study, "f:flt:inf:d:dbl:-infinity"), "");
  EXPECT_TRUE(std::isinf(study.flt) && study.flt > 0);
  EXPECT_TRUE(std::isinf(study.dbl) && study.dbl < 0);
  EXPECT_EQ(Override(&study, "f:flt:1e-50:d:dbl:1e-400"), "");
  EXPECT_EQ(study.flt, 0.0f);
  EXPECT_EQ(study.dbl, 0.0);
  EXPECT_EQ(study.calls, 6);
}

TEST(BaseStudyClassTest, LetterThatDoesNotMatchTheDeclaredTypeIsRefused) {
  TypedStudy study;
  // A one-byte char or a short handed to a double would be read past its end.
  std::string out = Override(&study, "c:dbl:x:s:flt:3:d:dbl:1.5:x:unknown:1:f:nothere:2");
  EXPECT_EQ(out,
            "Type c does not match type double of dbl\n"
            "Type s does not match type float of flt\n"
            "Type x not recognized\n");
  EXPECT_EQ(study.dbl, 1.5);
  EXPECT_EQ(study.flt, -1.0f);
  // A name the study does not declare is still handed on, to be reported there.
  EXPECT_EQ(study.calls, 2);
}

TEST(BaseStudyClassTest, NamesExperimentsAndKeepsItsRoot) {
  EXPECT_STREQ(BaseStudyClass::GetExpName(0), "Experiment 1");
  char* first = BaseStudyClass::GetExpName(35);
  EXPECT_STREQ(first, "Experiment 36");
  // One static buffer: the next call overwrites the previous result.
  EXPECT_EQ(BaseStudyClass::GetExpName(2147483647), first);
  EXPECT_STREQ(first, "Experiment 2147483648");

  TypedStudy study;
  EXPECT_EQ(study.GetNumGVs(), 7);
  EXPECT_EQ(study.GetNumExps(), 4);
  EXPECT_STREQ(study.GetGVName(6), "sht");
  EXPECT_STREQ(study.GetGVType(3), "float");
  EXPECT_STREQ(study.GetDefaultKorvanRoot(), "");
  char root[] = "c:/Korvan-2.4/";
  study.SetDefaultKorvanRoot(root);
  root[0] = 'x';
  EXPECT_STREQ(study.GetDefaultKorvanRoot(), "c:/Korvan-2.4/");
  study.SetDefaultKorvanRoot(study.GetDefaultKorvanRoot());
  EXPECT_STREQ(study.GetDefaultKorvanRoot(), "c:/Korvan-2.4/");
}

TEST(BaseStudyClassTest, BaseOperations) {
  BaseStudyClass study;
  EXPECT_EQ(study.GetNumGVs(), 0);
  EXPECT_EQ(study.GetPVModel(true), nullptr);
  char name[] = "x";
  EXPECT_EQ(study.GetGVValue(name), nullptr);
  testing::internal::CaptureStdout();
  study.SetGVs(3);
  study.PrintGlobalValues(3);
  int v = 1;
  study.OverrideGVValue(name, &v);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "basestudyclass::SetGVs\n");
}

}  // namespace
