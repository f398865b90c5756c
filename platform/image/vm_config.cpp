// Reading a virtual machine's configuration file into the description of the machine.
#include "platform/image/vm_config.h"

#include <cstdint>
#include <vector>

#include "base/text.h"
#include "platform/image/xml_document.h"

namespace halshift::image {
namespace {

std::string_view Trim(std::string_view text) { return text::Trim(text, text::kBlanksAndLineEnds); }

// A decimal count from 1 to kMaxProcessors, blanks around it allowed.
std::optional<unsigned> ParseCount(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.size() > 9) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > kMaxProcessors) return std::nullopt;
  return value;
}

// At most 40 bytes of a value from the file, with line breaks and other control characters
// shown as '?', so that a reason stays one line.
std::string Shown(std::string_view value) {
  std::string shown(Trim(value).substr(0, 40));
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return shown;
}

std::string CountProblem(std::string_view what, std::string_view value) {
  return std::string(what) + " \"" + Shown(value) +
         "\" is not a processor count from 1 to " + std::to_string(kMaxProcessors);
}

std::optional<bool> ParseXmlBoolean(std::string_view text) {
  text = Trim(text);
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  return std::nullopt;
}

// The first element of that name below the given one that carries the attribute.
const XmlElement* DescendantWithAttribute(const XmlDocument& document, const XmlElement& ancestor,
                                          std::string_view name, std::string_view attribute) {
  const auto& elements = document.Elements();
  const auto first = static_cast<std::size_t>(&ancestor - elements.data());
  for (std::size_t index = first + 1; index < ancestor.end; ++index) {
    if (elements[index].name == name && XmlDocument::Attribute(elements[index], attribute)) {
      return &elements[index];
    }
  }
  return nullptr;
}

std::optional<MachineDescription> ReadVirtualBox(const XmlDocument& document, std::string& error) {
  const XmlElement* machine = document.Child(document.Root(), "Machine");
  const XmlElement* hardware = machine ? document.Child(*machine, "Hardware") : nullptr;
  if (!hardware) {
    error = "the VirtualBox file has no <Machine><Hardware> element";
    return std::nullopt;
  }
  MachineDescription description;
  if (const XmlElement* cpu = DescendantWithAttribute(document, *hardware, "CPU", "count")) {
    const std::string_view count = *XmlDocument::Attribute(*cpu, "count");
    const auto processors = ParseCount(count);
    if (!processors) {
      error = CountProblem("the VirtualBox <CPU count>", count);
      return std::nullopt;
    }
    description.processors = *processors;
  }
  description.apic = false;
  if (const XmlElement* ioapic = DescendantWithAttribute(document, *hardware, "IOAPIC", "enabled")) {
    const std::string_view enabled = *XmlDocument::Attribute(*ioapic, "enabled");
    const auto value = ParseXmlBoolean(enabled);
    if (!value) {
      error = "the VirtualBox <IOAPIC enabled> \"" + Shown(enabled) +
              "\" is neither true nor false";
      return std::nullopt;
    }
    description.apic = *value;
  }
  // VirtualBox 5.1 and later can also switch the local APICs off, and then the BIOS writes
  // no MP table either.
  if (const XmlElement* apic = DescendantWithAttribute(document, *hardware, "APIC", "mode")) {
    const std::string_view mode = Trim(*XmlDocument::Attribute(*apic, "mode"));
    if (mode == "Disabled") {
      description.apic = false;
    } else if (mode != "APIC" && mode != "X2APIC") {
      error = "the VirtualBox <APIC mode> \"" + Shown(mode) + "\" is none of Disabled, APIC and X2APIC";
      return std::nullopt;
    }
  }
  return description;
}

std::optional<MachineDescription> ReadLibvirt(const XmlDocument& document, std::string& error) {
  const XmlElement& domain = document.Root();
  MachineDescription description;
  if (const XmlElement* vcpu = document.Child(domain, "vcpu")) {
    const auto current = XmlDocument::Attribute(*vcpu, "current");
    const auto processors = ParseCount(current ? *current : std::string_view(vcpu->text));
    if (!processors) {
      error = CountProblem(current ? "the libvirt <vcpu current>" : "the libvirt <vcpu>",
                           current ? *current : std::string_view(vcpu->text));
      return std::nullopt;
    }
    description.processors = *processors;
  } else if (const XmlElement* cpu = document.Child(domain, "cpu")) {
    if (const XmlElement* topology = document.Child(*cpu, "topology")) {
      std::uint64_t product = 1;
      for (const char* level : {"sockets", "dies", "clusters", "cores", "threads"}) {
        const auto value = XmlDocument::Attribute(*topology, level);
        if (!value) continue;
        const auto count = ParseCount(*value);
        if (!count) {
          error = CountProblem("the libvirt <topology " + std::string(level) + ">", *value);
          return std::nullopt;
        }
        product *= *count;
        if (product > kMaxProcessors) {
          error = "the libvirt <topology> gives more than " + std::to_string(kMaxProcessors) + " processors";
          return std::nullopt;
        }
      }
      description.processors = static_cast<unsigned>(product);
    }
  }
  const auto type = XmlDocument::Attribute(domain, "type");
  if (type && *type == "xen") {
    const XmlElement* features = document.Child(domain, "features");
    description.apic = features && document.Child(*features, "apic");
  }
  return description;
}

std::optional<MachineDescription> ReadXml(std::string_view text, std::string& error) {
  std::string syntax;
  const auto document = XmlDocument::Parse(text, syntax);
  if (!document) {
    error = "the XML file cannot be read: " + syntax;
    return std::nullopt;
  }
  const std::string& root = document->Root().name;
  if (root == "VirtualBox") return ReadVirtualBox(*document, error);
  if (root == "domain") return ReadLibvirt(*document, error);
  error = "the XML file (root element <" + Shown(root) +
          ">) is neither a VirtualBox .vbox nor a libvirt domain";
  return std::nullopt;
}

// A .vmx file: every line blank, a '#' comment or `key = value`. Nothing when it is not one.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseVmx(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const std::string_view whole : text::SplitLines(text)) {
    const std::string_view line = Trim(whole);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = Trim(line.substr(0, equals));
    std::string_view value = Trim(line.substr(equals + 1));
    if (key.empty()) return std::nullopt;
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    entries.emplace_back(std::string(key), std::string(value));
  }
  return entries;
}

}  // namespace

std::optional<MachineDescription> ReadVmConfig(std::string_view text, std::string& error) {
  std::string_view start = text;
  if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);
  start = Trim(start);
  if (start.starts_with("<")) return ReadXml(text, error);

  const auto entries = ParseVmx(text);
  bool vmx = false;
  const std::string* numvcpus = nullptr;
  if (entries) {
    for (const auto& [key, value] : *entries) {
      if (text::EqualsIgnoreCase(key, "config.version") || text::EqualsIgnoreCase(key, "virtualHW.version")) {
        vmx = true;
      } else if (text::EqualsIgnoreCase(key, "numvcpus")) {
        vmx = true;
        if (!numvcpus) numvcpus = &value;
      }
    }
  }
  if (!vmx) {
    error = "the file is neither a VirtualBox .vbox, a VMware .vmx nor a libvirt domain XML file";
    return std::nullopt;
  }
  MachineDescription description;
  if (numvcpus) {
    const auto processors = ParseCount(*numvcpus);
    if (!processors) {
      error = CountProblem("the VMware numvcpus", *numvcpus);
      return std::nullopt;
    }
    description.processors = *processors;
  }
  return description;
}

}  // namespace halshift::image
