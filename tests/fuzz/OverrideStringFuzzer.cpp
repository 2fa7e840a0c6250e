// The global-variable override string fed arbitrary text, over the
// study's own variables.
//
// Invariants: a variable whose name is not among the string's tokens keeps
// its value; a variable that changed holds the value of one of the
// string's tokens read under its type; applying the string again changes
// nothing; and the values reached, written out as an override string
// themselves, read back to the same values.

#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "Cpp/BaseClasses/BaseStudyClass.h"
#include "model/redundant_flash_studyRangeStudy.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

BaseStudyClass* study = nullptr;

struct Value {
  bool isShort;
  short s;
  float f;
};

bool SameValue(const Value& a, const Value& b) {
  if (a.isShort) return a.s == b.s;
  if (std::isnan(a.f) && std::isnan(b.f)) return true;
  return std::memcmp(&a.f, &b.f, sizeof(float)) == 0;
}

std::vector<Value> Values() {
  std::vector<Value> values;
  for (int i = 0; i < study->GetNumGVs(); i++) {
    void* address = study->GetGVValue(study->GetGVName(i));
    FUZZ_CHECK(address != nullptr, "a declared variable has no value");
    Value v{std::strcmp(study->GetGVType(i), "short") == 0, 0, 0.0f};
    if (v.isShort) {
      std::memcpy(&v.s, address, sizeof(short));
    } else {
      FUZZ_CHECK(std::strcmp(study->GetGVType(i), "float") == 0, "a type this harness does not know");
      std::memcpy(&v.f, address, sizeof(float));
    }
    values.push_back(v);
  }
  return values;
}

void Apply(const std::string& text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  CapturedStreams quiet;
  study->overrideGVs(copy.data());
}

// The string's tokens as the reader cuts them: at ':', empty ones skipped.
std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::string current;
  for (char c : text) {
    if (c == '\0') break;
    if (c == ':') {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

// Whether `v` is what one of the tokens reads as under the variable's type.
bool FromSomeToken(const Value& v, const std::vector<std::string>& tokens) {
  for (const std::string& token : tokens) {
    char* end = nullptr;
    if (v.isShort) {
      errno = 0;
      const long n = std::strtol(token.c_str(), &end, 0);
      if (end != token.c_str() && errno == 0 && n == v.s) return true;
      // A bool override of a short variable is rejected by type; any value
      // reached is a number token's.
    } else {
      const float f = std::strtof(token.c_str(), &end);
      if (end != token.c_str() && SameValue(v, Value{false, 0, f})) return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader reports on standard output through the C library.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  study = GenerateStudy();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const int experiment = in.ConsumeIntegralInRange<int>(0, study->GetNumExps() - 1);
  const std::string text = in.ConsumeRemainingBytesAsString();

  study->SetGVs(experiment);
  const std::vector<Value> before = Values();
  Apply(text);
  const std::vector<Value> after = Values();

  const std::vector<std::string> tokens = Tokens(text);
  const std::set<std::string> named(tokens.begin(), tokens.end());
  for (int i = 0; i < study->GetNumGVs(); i++) {
    if (SameValue(before[i], after[i])) continue;
    const std::string name = study->GetGVName(i);
    FUZZ_CHECK(named.count(name) > 0, name + " changed without being named");
    FUZZ_CHECK(FromSomeToken(after[i], tokens), name + " holds a value no token gives");
  }

  Apply(text);
  const std::vector<Value> twice = Values();
  for (int i = 0; i < study->GetNumGVs(); i++) {
    FUZZ_CHECK(SameValue(after[i], twice[i]),
               std::string("applying the string again changed ") + study->GetGVName(i));
  }

  // The values reached, as an override string, on top of another experiment.
  std::string written;
  for (int i = 0; i < study->GetNumGVs(); i++) {
    char value[64];
    if (after[i].isShort) {
      std::snprintf(value, sizeof(value), "s:%s:%d:", study->GetGVName(i), after[i].s);
    } else {
      std::snprintf(value, sizeof(value), "f:%s:%.9g:", study->GetGVName(i),
                    static_cast<double>(after[i].f));
    }
    written += value;
  }
  study->SetGVs((experiment + 1) % study->GetNumExps());
  Apply(written);
  const std::vector<Value> reread = Values();
  for (int i = 0; i < study->GetNumGVs(); i++) {
    FUZZ_CHECK(SameValue(after[i], reread[i]),
               std::string("the written value of ") + study->GetGVName(i) + " reads back otherwise: " +
                   written);
  }
  return 0;
}
