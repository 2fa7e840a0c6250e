#ifndef ERROR_REPORTING_H
#define ERROR_REPORTING_H

// The framework's reporters for faults it does not recover from. Each writes
// its fixed text to standard error, ends the line and flushes. Null text
// arguments write nothing in their place.

// Ends the process with exit status 1.
[[noreturn]] void MemoryAllocationError();
void InconsistantState();
void ArrayOutOfBoundsError(const char* where);
void MemoryError();
void ErrorEmptyParameter(const char* parameter);
void UserError();
void ArrayTypeMismatchError(const char* first, const char* second);
void StructTypeMismatchError(const char* first, const char* second);
void InvalidArrayType();
// Does not return: aborts the process.
[[noreturn]] void InvalidStructType();
void InvalidUnorderedType();

namespace SyncError {
void WrongDistributionType();
void NoAction();
}  // namespace SyncError

#endif
