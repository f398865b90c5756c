// Fuzzes the reading of virtual machine configuration files and the XML reader under them:
// whatever the bytes, a result is a usable description or a one-line reason, and the tree the
// XML reader builds is consistent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/check.h"
#include "platform/image/vm_config.h"
#include "platform/image/xml_document.h"

using halshift::fuzzing::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::image;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto machine = ReadVmConfig(text, error);
  if (machine) {
    Check(machine->processors >= 1 && machine->processors <= kMaxProcessors);
  } else {
    Check(!error.empty() && error.find('\n') == std::string::npos);
  }

  std::string syntax;
  const auto document = XmlDocument::Parse(text, syntax);
  if (!document) {
    Check(syntax.starts_with("line "));
    return 0;
  }
  const auto& elements = document->Elements();
  Check(!elements.empty() && elements.front().parent == 0);
  std::size_t children = 0;
  for (std::size_t index = 0; index < elements.size(); ++index) {
    const XmlElement& element = elements[index];
    Check(!element.name.empty());
    if (index > 0) Check(element.parent < index);
    Check(element.end > index && element.end <= elements.size());
    // The subtree ends inside the parent's, and the element's parent chain reaches every
    // element of it.
    if (index > 0) Check(element.end <= elements[element.parent].end);
    for (std::size_t inside = index + 1; inside < element.end && inside < index + 64; ++inside) {
      std::size_t up = elements[inside].parent;
      while (up > index) up = elements[up].parent;
      Check(up == index);
    }
    if (element.end < elements.size()) {
      std::size_t up = elements[element.end].parent;
      while (up > index) up = elements[up].parent;
      Check(up != index);
    }
    for (std::size_t child : element.children) {
      Check(child > index && child < elements.size() && elements[child].parent == index);
    }
    children += element.children.size();
    // Every element is found as a descendant of the root, unless an earlier one has its name.
    const XmlElement* found = document->Descendant(document->Root(), element.name);
    if (index > 0) Check(found != nullptr && found <= &element);
  }
  Check(children + 1 == elements.size());
  return 0;
}
