#ifndef TESTS_TRACE_XML_CHECK_H
#define TESTS_TRACE_XML_CHECK_H

// A small well-formedness checker: one root element, tags nest and close,
// attributes are named, quoted and not repeated, no raw '<' in values, only
// known entity or character references, no character XML excludes (control
// characters other than tab and line ends, bytes that are not UTF-8), and
// nothing but white space, comments, the declaration and the document type
// outside the root.

#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace xmlcheck {

inline bool NameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' ||
         c == '.';
}

// Offset of the first character XML 1.0 excludes or the first byte that is
// not part of a UTF-8 sequence, or npos.
inline size_t BadCharacter(const std::string& doc) {
  for (size_t i = 0; i < doc.size();) {
    const unsigned char c = static_cast<unsigned char>(doc[i]);
    if (c < 0x80) {
      if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return i;
      i++;
      continue;
    }
    const size_t more = c >= 0xC2 && c <= 0xDF ? 1 : c >= 0xE0 && c <= 0xEF ? 2
                        : c >= 0xF0 && c <= 0xF4 ? 3 : 0;
    if (more == 0 || i + more >= doc.size()) return i;
    unsigned int code = c & (0x3F >> more);
    for (size_t k = 1; k <= more; k++) {
      const unsigned char next = static_cast<unsigned char>(doc[i + k]);
      if ((next & 0xC0) != 0x80) return i;
      code = code << 6 | (next & 0x3F);
    }
    const unsigned int least[] = {0, 0x80, 0x800, 0x10000};
    if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
        code == 0xFFFE || code == 0xFFFF) {
      return i;
    }
    i += more + 1;
  }
  return std::string::npos;
}

// Returns an empty text when doc is well-formed, else what is wrong and where.
inline std::string Check(const std::string& doc) {
  const size_t bad = BadCharacter(doc);
  if (bad != std::string::npos) return "character not allowed at offset " + std::to_string(bad);
  std::vector<std::string> open;
  bool rootSeen = false;
  size_t i = 0;
  auto at = [&](const std::string& what) { return what + " at offset " + std::to_string(i); };
  auto blanks = [&] {
    while (i < doc.size() && std::isspace(static_cast<unsigned char>(doc[i]))) i++;
  };
  auto name = [&](std::string* out) {
    size_t start = i;
    while (i < doc.size() && NameChar(doc[i])) i++;
    *out = doc.substr(start, i - start);
    return i > start && !std::isdigit(static_cast<unsigned char>(doc[start]));
  };
  auto entity = [&] {
    size_t end = doc.find(';', i);
    std::string ref = end == std::string::npos ? "" : doc.substr(i + 1, end - i - 1);
    i = end == std::string::npos ? doc.size() : end + 1;
    if (ref.size() > 2 && ref[0] == '#' && ref[1] == 'x') {
      return ref.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos;
    }
    if (ref.size() > 1 && ref[0] == '#') {
      return ref.find_first_not_of("0123456789", 1) == std::string::npos;
    }
    return ref == "amp" || ref == "lt" || ref == "gt" || ref == "quot" || ref == "apos";
  };
  while (i < doc.size()) {
    if (doc[i] != '<') {
      if (open.empty() && !std::isspace(static_cast<unsigned char>(doc[i]))) return at("text");
      if (doc[i] != '&') {
        i++;
      } else if (!entity()) {
        return at("bad entity");
      }
      continue;
    }
    const char* close = doc.compare(i, 4, "<!--") == 0 ? "-->"
                        : doc.compare(i, 2, "<?") == 0 ? "?>"
                                                       : nullptr;
    if (close != nullptr) {
      size_t end = doc.find(close, i + 2);
      if (end == std::string::npos) return at("unterminated markup");
      i = end + std::string(close).size();
      continue;
    }
    if (doc.compare(i, 9, "<!DOCTYPE") == 0 && !rootSeen) {
      // Quoted literals, then '>'; no internal subset.
      while (i < doc.size() && doc[i] != '>') {
        size_t end = doc[i] == '"' ? doc.find('"', i + 1) : i;
        if (end == std::string::npos) return at("unterminated literal");
        i = end + 1;
      }
      i++;
      continue;
    }
    std::string tag;
    if (doc.compare(i, 2, "</") == 0) {
      i += 2;
      if (!name(&tag) || open.empty() || open.back() != tag) return at("mismatched </" + tag);
      blanks();
      if (i >= doc.size() || doc[i++] != '>') return at("end tag not closed");
      open.pop_back();
      continue;
    }
    i++;
    if (!name(&tag)) return at("bad tag name");
    if (open.empty() && rootSeen) return at("second root");
    rootSeen = true;
    std::set<std::string> attributes;
    for (;;) {
      size_t before = i;
      blanks();
      if (i >= doc.size()) return at("unterminated tag");
      if (doc[i] == '>') {
        open.push_back(tag);
        i++;
        break;
      }
      if (doc.compare(i, 2, "/>") == 0) {
        i += 2;
        break;
      }
      std::string attribute;
      if (i == before || !name(&attribute) || !attributes.insert(attribute).second) {
        return at("bad attribute");
      }
      if (i + 1 >= doc.size() || doc[i] != '=' || (doc[i + 1] != '"' && doc[i + 1] != '\'')) {
        return at("unquoted attribute");
      }
      char quote = doc[i + 1];
      i += 2;
      while (i < doc.size() && doc[i] != quote) {
        if (doc[i] == '<') return at("'<' in a value");
        if (doc[i] != '&') {
          i++;
        } else if (!entity()) {
          return at("bad entity");
        }
      }
      if (i++ >= doc.size()) return at("unterminated value");
    }
  }
  if (!rootSeen) return "no root element";
  return open.empty() ? "" : "element <" + open.back() + "> not closed";
}

}  // namespace xmlcheck

#endif
