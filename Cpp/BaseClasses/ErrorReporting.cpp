#include "Cpp/BaseClasses/ErrorReporting.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

namespace {

void WriteLine(const char* a, const char* b = nullptr, const char* c = nullptr,
               const char* d = nullptr, const char* e = nullptr) {
  for (const char* piece : {a, b, c, d, e}) {
    if (piece != nullptr) std::fputs(piece, stderr);
  }
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace

void MemoryAllocationError() {
  WriteLine("Insufficient Memory to allocate dynamic data structures from heap memory");
  WriteLine("Exiting program...");
  std::exit(1);
}

void InconsistantState() {
  WriteLine("This program has entered into an inconsistant state. Please report this bug.");
}

void ArrayOutOfBoundsError(const char* where) { WriteLine("Array out of bounds error at ", where); }

void MemoryError() { WriteLine("Memory Error"); }

void ErrorEmptyParameter(const char* parameter) {
  WriteLine(parameter, ": Parameter was an empty reference");
}

void UserError() { WriteLine("A user error has been detected"); }

void ArrayTypeMismatchError(const char* first, const char* second) {
  WriteLine("Array types for equivalence sharing do not match for state variables: ", "  ", first,
            "  ", second);
}

void StructTypeMismatchError(const char* first, const char* second) {
  WriteLine("Struct types for equivalence sharing do not match for state variables: ", "  ", first,
            "  ", second);
}

void InvalidArrayType() { WriteLine("ArrayType is not valid"); }

void InvalidStructType() {
  WriteLine("ArrayType is invalid for struct element");
  std::abort();
}

void InvalidUnorderedType() { WriteLine("ArrayType is invalid for unordered element"); }

namespace SyncError {

void WrongDistributionType() {
  WriteLine("You can only synchronize actions from one type,", "either exponential or instantenous");
}

void NoAction() { WriteLine(" no Action found in model"); }

}  // namespace SyncError
