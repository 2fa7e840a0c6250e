#ifndef TESTS_TRACE_XML_CHECK_H
#define TESTS_TRACE_XML_CHECK_H

// A small well-formedness checker for the XML trace: one root element, tags
// nest and close, attributes are named, quoted and unique per tag, text and
// attribute values hold no raw '<' and only known entity references, and
// outside the root there is only white space, the declaration, the document
// type, comments and processing instructions.

#include <cctype>
#include <set>
#include <string>
#include <vector>

namespace xmlcheck {

inline bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == ':' || c == '-' ||
         c == '.';
}

// Checks an entity reference starting at doc[i] == '&'; advances i past it.
inline bool Entity(const std::string& doc, size_t& i) {
  size_t end = doc.find(';', i);
  if (end == std::string::npos) return false;
  std::string ref = doc.substr(i + 1, end - i - 1);
  i = end + 1;
  if (ref == "amp" || ref == "lt" || ref == "gt" || ref == "quot" || ref == "apos") return true;
  if (ref.size() >= 2 && ref[0] == '#') {
    for (size_t k = 1; k < ref.size(); k++) {
      if (!std::isdigit(static_cast<unsigned char>(ref[k]))) return false;
    }
    return true;
  }
  return false;
}

inline bool Name(const std::string& doc, size_t& i, std::string* name) {
  size_t start = i;
  while (i < doc.size() && IsNameChar(doc[i])) i++;
  if (i == start || std::isdigit(static_cast<unsigned char>(doc[start])) || doc[start] == '-' ||
      doc[start] == '.') {
    return false;
  }
  *name = doc.substr(start, i - start);
  return true;
}

inline void Blanks(const std::string& doc, size_t& i) {
  while (i < doc.size() && std::isspace(static_cast<unsigned char>(doc[i]))) i++;
}

// Returns an empty text when doc is well-formed, else what is wrong and where.
inline std::string Check(const std::string& doc) {
  std::vector<std::string> open;
  bool rootSeen = false;
  size_t i = 0;
  auto fail = [&](const std::string& what) { return what + " at offset " + std::to_string(i); };
  while (i < doc.size()) {
    char c = doc[i];
    if (c != '<') {
      if (open.empty() && !std::isspace(static_cast<unsigned char>(c))) {
        return fail("text outside the root element");
      }
      if (c == '&') {
        if (!Entity(doc, i)) return fail("bad entity reference");
        continue;
      }
      i++;
      continue;
    }
    if (doc.compare(i, 4, "<!--") == 0) {
      size_t end = doc.find("-->", i + 4);
      if (end == std::string::npos) return fail("unterminated comment");
      if (doc.substr(i + 4, end - i - 4).find("--") != std::string::npos) {
        return fail("'--' inside a comment");
      }
      i = end + 3;
      continue;
    }
    if (doc.compare(i, 2, "<?") == 0) {
      size_t end = doc.find("?>", i + 2);
      if (end == std::string::npos) return fail("unterminated processing instruction");
      if (i != 0 && doc.compare(i, 5, "<?xml") == 0 &&
          !IsNameChar(doc.size() > i + 5 ? doc[i + 5] : ' ')) {
        return fail("XML declaration not at the start");
      }
      i = end + 2;
      continue;
    }
    if (doc.compare(i, 9, "<!DOCTYPE") == 0) {
      if (rootSeen || !open.empty()) return fail("document type after the root");
      i += 9;
      // No internal subset is expected: quoted literals, then '>'.
      while (i < doc.size() && doc[i] != '>') {
        if (doc[i] == '"' || doc[i] == '\'') {
          size_t end = doc.find(doc[i], i + 1);
          if (end == std::string::npos) return fail("unterminated literal");
          i = end + 1;
        } else if (doc[i] == '[' || doc[i] == '<') {
          return fail("unexpected character in the document type");
        } else {
          i++;
        }
      }
      if (i >= doc.size()) return fail("unterminated document type");
      i++;
      continue;
    }
    if (doc.compare(i, 2, "</") == 0) {
      i += 2;
      std::string name;
      if (!Name(doc, i, &name)) return fail("bad end tag name");
      Blanks(doc, i);
      if (i >= doc.size() || doc[i] != '>') return fail("end tag not closed");
      i++;
      if (open.empty() || open.back() != name) return fail("end tag </" + name + "> mismatched");
      open.pop_back();
      continue;
    }
    i++;
    std::string name;
    if (!Name(doc, i, &name)) return fail("bad start tag name");
    if (open.empty()) {
      if (rootSeen) return fail("second root element");
      rootSeen = true;
    }
    std::set<std::string> attributes;
    bool empty = false;
    for (;;) {
      size_t before = i;
      Blanks(doc, i);
      if (i >= doc.size()) return fail("unterminated start tag");
      if (doc[i] == '>') {
        i++;
        break;
      }
      if (doc.compare(i, 2, "/>") == 0) {
        i += 2;
        empty = true;
        break;
      }
      if (i == before) return fail("attributes not separated by white space");
      std::string attribute;
      if (!Name(doc, i, &attribute)) return fail("bad attribute name");
      if (!attributes.insert(attribute).second) return fail("repeated attribute " + attribute);
      Blanks(doc, i);
      if (i >= doc.size() || doc[i] != '=') return fail("attribute without '='");
      i++;
      Blanks(doc, i);
      if (i >= doc.size() || (doc[i] != '"' && doc[i] != '\'')) {
        return fail("unquoted attribute value");
      }
      char quote = doc[i++];
      while (i < doc.size() && doc[i] != quote) {
        if (doc[i] == '<') return fail("'<' in an attribute value");
        if (doc[i] == '&') {
          if (!Entity(doc, i)) return fail("bad entity reference in an attribute");
        } else {
          i++;
        }
      }
      if (i >= doc.size()) return fail("unterminated attribute value");
      i++;
    }
    if (!empty) open.push_back(name);
  }
  if (!rootSeen) return "no root element";
  if (!open.empty()) return "element <" + open.back() + "> not closed";
  return "";
}

}  // namespace xmlcheck

#endif
