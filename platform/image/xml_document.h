// A small XML reader for virtual machine configuration files: elements, attributes, text,
// comments, CDATA and character references, read into a tree of elements.
//
// May contain: the C++ standard library. No file access: callers hand in the text.
// It reads only as much XML as those files use: no namespaces (a prefix stays part of the
// name), no external entities, and a document type declaration is skipped. The input is
// untrusted: every read is bounded by the text, and nesting deeper than kMaxXmlDepth fails.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halshift::image {

inline constexpr std::size_t kMaxXmlDepth = 256;

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values with references decoded
  std::string text;                 // the element's own character data, concatenated
  std::vector<std::size_t> children;  // indexes into XmlDocument::Elements()
  std::size_t parent = 0;           // the root is its own parent
  std::size_t end = 0;              // one past the index of its last descendant
};

class XmlDocument {
 public:
  // Parses a whole document with exactly one root element. Nothing on a syntax error, with
  // error set to "line N: <problem>".
  static std::optional<XmlDocument> Parse(std::string_view text, std::string& error);

  // Element 0 is the root.
  const std::vector<XmlElement>& Elements() const { return elements_; }
  const XmlElement& Root() const { return elements_.front(); }

  // The first child of the element with that name (compared exactly), or nothing.
  const XmlElement* Child(const XmlElement& parent, std::string_view name) const;
  // The first element below the given one, at any depth and in document order, with that
  // name; nothing when there is none.
  const XmlElement* Descendant(const XmlElement& ancestor, std::string_view name) const;
  // The value of the element's attribute, or nothing.
  static std::optional<std::string_view> Attribute(const XmlElement& element, std::string_view name);

 private:
  std::vector<XmlElement> elements_;
};

}  // namespace halshift::image
