#ifndef XML_CHECK_H
#define XML_CHECK_H

// A small well-formedness checker for the manager's SVG: one root element,
// every element closed in order, attributes quoted and unique, no raw '<' or
// '&' in text or attribute values except known entities.

#include <cctype>
#include <set>
#include <string>
#include <vector>

inline bool XmlWellFormed(const std::string& text, std::string& root, std::string& error) {
  std::vector<std::string> open;
  size_t i = 0;
  int roots = 0;
  auto entityAt = [&](size_t at) {
    static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
    for (const char* e : kEntities) {
      if (text.compare(at, std::string(e).size(), e) == 0) return std::string(e).size();
    }
    if (text.compare(at, 2, "&#") == 0) {
      const size_t semi = text.find(';', at);
      if (semi != std::string::npos && semi - at <= 8) return semi - at + 1;
    }
    return size_t(0);
  };
  auto name = [&](size_t& at) {
    const size_t start = at;
    while (at < text.size() && (std::isalnum(static_cast<unsigned char>(text[at])) ||
                                text[at] == '-' || text[at] == '_' || text[at] == ':' || text[at] == '.')) {
      ++at;
    }
    return text.substr(start, at - start);
  };
  if (text.compare(0, 5, "<?xml") == 0) {
    i = text.find("?>");
    if (i == std::string::npos) return error = "unclosed declaration", false;
    i += 2;
  }
  while (i < text.size()) {
    if (text[i] == '&') {
      const size_t n = entityAt(i);
      if (n == 0) return error = "bad entity at " + std::to_string(i), false;
      i += n;
      continue;
    }
    if (text[i] != '<') {
      if (open.empty() && !std::isspace(static_cast<unsigned char>(text[i]))) {
        return error = "text outside the root", false;
      }
      ++i;
      continue;
    }
    if (text.compare(i, 4, "<!--") == 0) {
      const size_t end = text.find("-->", i);
      if (end == std::string::npos) return error = "unclosed comment", false;
      i = end + 3;
      continue;
    }
    if (text.compare(i, 2, "</") == 0) {
      i += 2;
      const std::string tag = name(i);
      while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i >= text.size() || text[i] != '>') return error = "bad end tag " + tag, false;
      ++i;
      if (open.empty() || open.back() != tag) return error = "end tag " + tag + " does not match", false;
      open.pop_back();
      continue;
    }
    ++i;
    const std::string tag = name(i);
    if (tag.empty()) return error = "bad start tag at " + std::to_string(i), false;
    if (open.empty() && ++roots > 1) return error = "more than one root", false;
    if (open.empty()) root = tag;
    std::set<std::string> attributes;
    for (;;) {
      while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
      if (i >= text.size()) return error = "unclosed tag " + tag, false;
      if (text[i] == '>') {
        ++i;
        open.push_back(tag);
        break;
      }
      if (text.compare(i, 2, "/>") == 0) {
        i += 2;
        break;
      }
      const std::string attribute = name(i);
      if (attribute.empty() || !attributes.insert(attribute).second) {
        return error = "bad or repeated attribute in " + tag, false;
      }
      if (i + 1 >= text.size() || text[i] != '=' || (text[i + 1] != '"' && text[i + 1] != '\'')) {
        return error = "unquoted attribute " + attribute, false;
      }
      const char quote = text[i + 1];
      i += 2;
      while (i < text.size() && text[i] != quote) {
        if (text[i] == '<') return error = "'<' in attribute " + attribute, false;
        if (text[i] == '&') {
          const size_t n = entityAt(i);
          if (n == 0) return error = "bad entity in attribute " + attribute, false;
          i += n;
        } else {
          ++i;
        }
      }
      if (i >= text.size()) return error = "unclosed attribute " + attribute, false;
      ++i;
    }
  }
  if (!open.empty()) return error = "unclosed element " + open.back(), false;
  if (roots != 1) return error = "no root element", false;
  return true;
}

#endif
