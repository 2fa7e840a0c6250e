#include "Cpp/BaseClasses/BaseStudyClass.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"

namespace {

char* CopyString(const char* text) {
  char* copy = strdup(text != nullptr ? text : "");
  if (copy == nullptr) MemoryAllocationError();
  return copy;
}

// Splits as strtok does on ":" (empty tokens are skipped), without strtok's
// hidden state. Returns the next token, terminated in place, or null.
char* NextToken(char** cursor) {
  char* p = *cursor;
  while (*p == ':') p++;
  if (*p == '\0') {
    *cursor = p;
    return nullptr;
  }
  char* token = p;
  while (*p != '\0' && *p != ':') p++;
  if (*p == ':') *p++ = '\0';
  *cursor = p;
  return token;
}

// Integer text read as "%i" reads it (leading blanks, sign, decimal, octal or
// hexadecimal by prefix). False when no digits convert or the number does not
// fit between low and high: such a value would be undefined.
bool ReadInteger(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (end == text || errno == ERANGE || v < low || v > high) return false;
  *out = v;
  return true;
}

}  // namespace

BaseStudyClass::BaseStudyClass() { defaultRoot = CopyString(""); }

BaseStudyClass::~BaseStudyClass() {
  for (int i = 0; i < numGVs; i++) {
    if (gvNames != nullptr) free(gvNames[i]);
    if (gvTypes != nullptr) free(gvTypes[i]);
  }
  delete[] gvNames;
  delete[] gvTypes;
  free(defaultRoot);
}

PVModel* BaseStudyClass::GetPVModel(bool) { return thePVModel; }

void BaseStudyClass::SetGVs(int) {
  std::printf("basestudyclass::SetGVs\n");
  std::fflush(stdout);
}

void BaseStudyClass::PrintGlobalValues(int) {}

void* BaseStudyClass::GetGVValue(char*) { return nullptr; }

void BaseStudyClass::OverrideGVValue(char*, void*) {}

char* BaseStudyClass::GetDefaultKorvanRoot() { return defaultRoot; }

void BaseStudyClass::SetDefaultKorvanRoot(char* root) {
  // Copy first: root may be the current string.
  char* copy = CopyString(root);
  free(defaultRoot);
  defaultRoot = copy;
}

char* BaseStudyClass::GetGVName(int i) {
  KORVAN_ASSERT(i >= 0 && i < numGVs);
  return gvNames[i];
}

char* BaseStudyClass::GetGVType(int i) {
  KORVAN_ASSERT(i >= 0 && i < numGVs);
  return gvTypes[i];
}

char* BaseStudyClass::GetExpName(int experiment) {
  static char buffer[32];
  // Widened so that the last int still gets its number.
  std::snprintf(buffer, sizeof buffer, "Experiment %lld", static_cast<long long>(experiment) + 1);
  return buffer;
}

void BaseStudyClass::overrideGVs(char* overrides) {
  if (overrides == nullptr) return;
  char* copy = CopyString(overrides);
  char* cursor = copy;
  for (;;) {
    char* letterToken = NextToken(&cursor);
    if (letterToken == nullptr) break;
    char letter = letterToken[0];  // the rest of the token is ignored
    char* name = NextToken(&cursor);
    char* text = name != nullptr ? NextToken(&cursor) : nullptr;
    if (name == nullptr || text == nullptr) {
      std::printf("Not enough double override tokens");
      break;
    }

    bool converted = true;
    long integer = 0;
    switch (letter) {
      case 'b': {
        converted = ReadInteger(text, SHRT_MIN, SHRT_MAX, &integer);
        bool v = integer != 0;
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      case 'c': {
        char v = text[0];  // tokens are never empty
        OverrideGVValue(name, &v);
        break;
      }
      case 'd': {
        char* end = nullptr;
        double v = std::strtod(text, &end);
        converted = end != text;
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      case 'f': {
        char* end = nullptr;
        float v = std::strtof(text, &end);
        converted = end != text;
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      case 'i': {
        converted = ReadInteger(text, INT_MIN, INT_MAX, &integer);
        int v = static_cast<int>(integer);
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      case 'l': {
        converted = ReadInteger(text, LONG_MIN, LONG_MAX, &integer);
        long v = integer;
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      case 's': {
        converted = ReadInteger(text, SHRT_MIN, SHRT_MAX, &integer);
        short v = static_cast<short>(integer);
        if (converted) OverrideGVValue(name, &v);
        break;
      }
      default:
        std::printf("Type %c not recognized\n", letter);
        break;
    }
    if (!converted) std::printf("Value %s for %s not recognized as type %c\n", text, name, letter);
  }
  std::fflush(stdout);
  free(copy);
}
