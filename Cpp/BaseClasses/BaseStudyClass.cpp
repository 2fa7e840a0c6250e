#include "Cpp/BaseClasses/BaseStudyClass.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
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

// True when nothing but blanks follows a converted number: a value that only
// begins with one ("0,5", "256abc", "1e3" as an integer, "08" read as octal
// 0) would otherwise become another number than the one written.
bool OnlyBlanksAfter(const char* end) {
  while (std::isspace(static_cast<unsigned char>(*end))) end++;
  return *end == '\0';
}

// Integer text read as "%i" reads it (leading blanks, sign, decimal, octal or
// hexadecimal by prefix). False when no digits convert, when anything but
// blanks follows them, or when the number does not fit between low and high:
// such a value would be undefined, or not the one written.
bool ReadInteger(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 0);
  if (end == text || !OnlyBlanksAfter(end) || errno == ERANGE || v < low || v > high) return false;
  *out = v;
  return true;
}

bool IsTypeLetter(char letter) { return std::strchr("bcdfils", letter) != nullptr && letter != 0; }

// The override letter of a declared type name; 0 for a type without one.
char TypeLetter(const char* type) {
  static const struct {
    const char* type;
    char letter;
  } kLetters[] = {{"bool", 'b'}, {"char", 'c'}, {"double", 'd'}, {"float", 'f'},
                  {"int", 'i'},  {"long", 'l'}, {"short", 's'}};
  for (const auto& entry : kLetters) {
    if (std::strcmp(entry.type, type) == 0) return entry.letter;
  }
  return 0;
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

std::string BaseStudyClass::Printable(const char* text) {
  if (text == nullptr) return "(null)";
  std::string out;
  for (const char* p = text; *p != '\0'; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F || c == '\\') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string BaseStudyClass::ShownFileName(const char* name) {
  if (name == nullptr) return "";
  for (const char* p = name; *p != '\0'; p++) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return Printable(name);
  }
  return name;
}

void BaseStudyClass::overrideGVs(char* overrides) {
  if (overrides == nullptr) return;
  char* copy = CopyString(overrides);
  char* cursor = copy;
  for (;;) {
    char* letterToken = NextToken(&cursor);
    if (letterToken == nullptr) break;
    char letter = letterToken[0];  // the rest of the token is ignored
    const char letterText[2] = {letter, '\0'};
    char* name = NextToken(&cursor);
    char* text = name != nullptr ? NextToken(&cursor) : nullptr;
    if (name == nullptr || text == nullptr) {
      std::printf("Not enough double override tokens");
      break;
    }

    // A letter that does not match the declared type would make the study
    // copy a value of another width (reading past a narrower one).
    const char* declared = nullptr;
    for (int k = 0; k < numGVs && declared == nullptr; k++) {
      if (std::strcmp(gvNames[k], name) == 0) declared = gvTypes[k];
    }
    const char expected = declared != nullptr ? TypeLetter(declared) : 0;
    if (expected != 0 && IsTypeLetter(letter) && letter != expected) {
      std::printf("Type %s does not match type %s of %s\n", Printable(letterText).c_str(), declared,
                  Printable(name).c_str());
      continue;
    }

    // Every value travels in one zeroed buffer wider than any of the types,
    // so a copy of the variable's own width never reads past it.
    union {
      bool b;
      char c;
      double d;
      float f;
      int i;
      long l;
      short s;
      unsigned char bytes[16];
    } value;
    std::memset(&value, 0, sizeof value);
    bool converted = true;
    long integer = 0;
    char* end = nullptr;
    switch (letter) {
      case 'b':
        converted = ReadInteger(text, SHRT_MIN, SHRT_MAX, &integer);
        value.b = integer != 0;
        break;
      case 'c':
        value.c = text[0];  // tokens are never empty
        break;
      // A number beyond the type's range would become an infinity that
      // nobody wrote ("inf" itself still reads as one), as an integer out
      // of its range is refused.
      case 'd':
        errno = 0;
        value.d = std::strtod(text, &end);
        converted = end != text && OnlyBlanksAfter(end) && !(errno == ERANGE && std::isinf(value.d));
        break;
      case 'f':
        errno = 0;
        value.f = std::strtof(text, &end);
        converted = end != text && OnlyBlanksAfter(end) && !(errno == ERANGE && std::isinf(value.f));
        break;
      case 'i':
        converted = ReadInteger(text, INT_MIN, INT_MAX, &integer);
        value.i = static_cast<int>(integer);
        break;
      case 'l':
        converted = ReadInteger(text, LONG_MIN, LONG_MAX, &integer);
        value.l = integer;
        break;
      case 's':
        converted = ReadInteger(text, SHRT_MIN, SHRT_MAX, &integer);
        value.s = static_cast<short>(integer);
        break;
      default:
        std::printf("Type %s not recognized\n", Printable(letterText).c_str());
        continue;
    }
    if (converted) OverrideGVValue(name, &value);
    if (!converted) {
      std::printf("Value %s for %s not recognized as type %s\n", Printable(text).c_str(), Printable(name).c_str(),
                  Printable(letterText).c_str());
    }
  }
  std::fflush(stdout);
  free(copy);
}
