// The XML reader: one pass over the text with an explicit stack of open elements.
#include "platform/image/xml_document.h"

#include <algorithm>
#include <cstdint>

namespace halshift::image {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsNameStart(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || u == ':' || u >= 0x80;
}

bool IsNameChar(char c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void AppendUtf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
 public:
  Parser(std::string_view text, std::vector<XmlElement>& elements, std::string& error)
      : text_(text), elements_(elements), error_(error) {}

  bool Run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    if (!SkipMisc(true)) return false;
    if (AtEnd() || text_[pos_] != '<') return Fail("no root element");
    if (!ReadContent()) return false;
    if (!SkipMisc(false)) return false;
    if (!AtEnd()) return Fail("text after the root element");
    return true;
  }

 private:
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool StartsWith(std::string_view prefix) const { return text_.substr(pos_).starts_with(prefix); }

  bool Fail(std::string_view problem) {
    const std::size_t upTo = std::min(pos_, text_.size());
    const auto line = 1 + std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(upTo), '\n');
    error_ = "line " + std::to_string(line) + ": " + std::string(problem);
    return false;
  }

  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[pos_])) ++pos_;
  }

  // Moves past the next occurrence of terminator; false when there is none.
  bool SkipPast(std::string_view terminator, std::string_view what) {
    const std::size_t end = text_.find(terminator, pos_);
    if (end == std::string_view::npos) return Fail(std::string(what) + " is not closed");
    pos_ = end + terminator.size();
    return true;
  }

  // Whitespace, comments, processing instructions and (before the root only) a document
  // type declaration.
  bool SkipMisc(bool beforeRoot) {
    for (;;) {
      SkipSpace();
      if (StartsWith("<!--")) {
        pos_ += 4;
        if (!SkipPast("-->", "a comment")) return false;
      } else if (StartsWith("<?")) {
        pos_ += 2;
        if (!SkipPast("?>", "a processing instruction")) return false;
      } else if (beforeRoot && StartsWith("<!DOCTYPE")) {
        if (!SkipDoctype()) return false;
      } else {
        return true;
      }
    }
  }

  bool SkipDoctype() {
    int brackets = 0;
    char quote = 0;
    for (pos_ += 9; !AtEnd(); ++pos_) {
      const char c = text_[pos_];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '[') {
        ++brackets;
      } else if (c == ']') {
        --brackets;
      } else if (c == '>' && brackets <= 0) {
        ++pos_;
        return true;
      }
    }
    return Fail("the document type declaration is not closed");
  }

  bool ReadName(std::string& name) {
    if (AtEnd() || !IsNameStart(text_[pos_])) return Fail("a name was expected");
    const std::size_t start = pos_;
    while (!AtEnd() && IsNameChar(text_[pos_])) ++pos_;
    name.assign(text_.substr(start, pos_ - start));
    return true;
  }

  // A reference after its '&': appends what it stands for.
  bool ReadReference(std::string& out) {
    const std::size_t end = text_.find(';', pos_);
    if (end == std::string_view::npos || end - pos_ > 12) return Fail("a bare '&'");
    const std::string_view name = text_.substr(pos_, end - pos_);
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return IsNameChar(c) || c == '#'; })) {
      return Fail("a bare '&'");
    }
    if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "amp") {
      out += '&';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      if (digits.empty()) return Fail("an empty character reference");
      std::uint32_t code = 0;
      for (char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
          digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
          digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
          digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
          return Fail("a bad character reference");
        }
        code = code * (hex ? 16 : 10) + digit;
        if (code > 0x10FFFF) return Fail("a character reference out of range");
      }
      if (code == 0 || (code >= 0xD800 && code <= 0xDFFF)) return Fail("a character reference out of range");
      AppendUtf8(out, code);
    } else {
      return Fail("an unknown entity &" + std::string(name) + ";");
    }
    pos_ = end + 1;
    return true;
  }

  bool ReadAttributeValue(std::string& value) {
    if (AtEnd() || (text_[pos_] != '"' && text_[pos_] != '\'')) return Fail("an attribute value must be quoted");
    const char quote = text_[pos_++];
    for (;;) {
      if (AtEnd()) return Fail("an attribute value is not closed");
      const char c = text_[pos_];
      if (c == quote) {
        ++pos_;
        return true;
      }
      if (c == '<') return Fail("'<' in an attribute value");
      ++pos_;
      if (c == '&') {
        if (!ReadReference(value)) return false;
      } else {
        value += c;
      }
    }
  }

  // A start tag after its '<': adds the element; selfClosed tells whether it ended in "/>".
  bool ReadStartTag(std::size_t parent, bool& selfClosed) {
    XmlElement element;
    if (!ReadName(element.name)) return false;
    for (;;) {
      const std::size_t before = pos_;
      SkipSpace();
      if (AtEnd()) return Fail("a start tag is not closed");
      if (text_[pos_] == '>') {
        ++pos_;
        selfClosed = false;
        break;
      }
      if (StartsWith("/>")) {
        pos_ += 2;
        selfClosed = true;
        break;
      }
      if (pos_ == before) return Fail("attributes must be separated by blanks");
      std::string name;
      if (!ReadName(name)) return false;
      SkipSpace();
      if (AtEnd() || text_[pos_] != '=') return Fail("'=' was expected after attribute " + name);
      ++pos_;
      SkipSpace();
      std::string value;
      if (!ReadAttributeValue(value)) return false;
      for (const auto& attribute : element.attributes) {
        if (attribute.first == name) return Fail("attribute " + name + " is given twice");
      }
      element.attributes.emplace_back(std::move(name), std::move(value));
    }
    const std::size_t index = elements_.size();
    element.parent = elements_.empty() ? 0 : parent;
    element.end = index + 1;  // grows as descendants close
    elements_.push_back(std::move(element));
    if (index != 0) elements_[parent].children.push_back(index);
    return true;
  }

  // The root element and everything inside it, with '<' at pos_.
  bool ReadContent() {
    std::vector<std::size_t> open;
    bool selfClosed = false;
    ++pos_;
    if (!ReadStartTag(0, selfClosed)) return false;
    if (selfClosed) return true;
    open.push_back(0);
    while (!open.empty()) {
      if (AtEnd()) return Fail("element <" + elements_[open.back()].name + "> is not closed");
      XmlElement& current = elements_[open.back()];
      const char c = text_[pos_];
      if (c == '&') {
        ++pos_;
        if (!ReadReference(current.text)) return false;
      } else if (c != '<') {
        current.text += c;
        ++pos_;
      } else if (StartsWith("<!--")) {
        pos_ += 4;
        if (!SkipPast("-->", "a comment")) return false;
      } else if (StartsWith("<![CDATA[")) {
        pos_ += 9;
        const std::size_t end = text_.find("]]>", pos_);
        if (end == std::string_view::npos) return Fail("a CDATA section is not closed");
        current.text.append(text_.substr(pos_, end - pos_));
        pos_ = end + 3;
      } else if (StartsWith("<?")) {
        pos_ += 2;
        if (!SkipPast("?>", "a processing instruction")) return false;
      } else if (StartsWith("</")) {
        pos_ += 2;
        std::string name;
        if (!ReadName(name)) return false;
        SkipSpace();
        if (AtEnd() || text_[pos_] != '>') return Fail("an end tag is not closed");
        ++pos_;
        if (name != current.name) {
          return Fail("end tag </" + name + "> does not match <" + current.name + ">");
        }
        current.end = elements_.size();
        open.pop_back();
      } else {
        ++pos_;
        const std::size_t parent = open.back();
        if (!ReadStartTag(parent, selfClosed)) return false;
        if (!selfClosed) {
          if (open.size() >= kMaxXmlDepth) return Fail("elements are nested too deeply");
          open.push_back(elements_.size() - 1);
        }
      }
    }
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<XmlElement>& elements_;
  std::string& error_;
};

}  // namespace

std::optional<XmlDocument> XmlDocument::Parse(std::string_view text, std::string& error) {
  XmlDocument document;
  Parser parser(text, document.elements_, error);
  if (!parser.Run()) return std::nullopt;
  return document;
}

const XmlElement* XmlDocument::Child(const XmlElement& parent, std::string_view name) const {
  for (std::size_t index : parent.children) {
    if (elements_[index].name == name) return &elements_[index];
  }
  return nullptr;
}

const XmlElement* XmlDocument::Descendant(const XmlElement& ancestor, std::string_view name) const {
  // Elements are stored in document order, so an element's descendants follow it directly.
  const auto first = static_cast<std::size_t>(&ancestor - elements_.data());
  for (std::size_t index = first + 1; index < ancestor.end; ++index) {
    if (elements_[index].name == name) return &elements_[index];
  }
  return nullptr;
}

std::optional<std::string_view> XmlDocument::Attribute(const XmlElement& element, std::string_view name) {
  for (const auto& attribute : element.attributes) {
    if (attribute.first == name) return std::string_view(attribute.second);
  }
  return std::nullopt;
}

}  // namespace halshift::image
