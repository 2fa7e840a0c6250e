#ifndef KORVAN_VERSION_H
#define KORVAN_VERSION_H

#include <string>

// The version of the programs ("2.4.0") and the commit they were built from:
// the abbreviated hash, with "-modified" when tracked files differed from it,
// or "" when the build was not made from a git checkout.
const char* KorvanVersion();
const char* KorvanCommit();

// "<version>" or "<version> (commit <hash>)", as the programs print it.
inline std::string KorvanVersionText() {
  std::string text = KorvanVersion();
  if (*KorvanCommit() != '\0') text += std::string(" (commit ") + KorvanCommit() + ")";
  return text;
}

#endif
