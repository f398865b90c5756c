// The text files of a machine image built from their parts, so that no test writes their
// syntax out by hand: registry.reg as regedit writes it and machine.ini's sections.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/image_builder.h"

namespace halshift::testing {

// The keys below HKEY_LOCAL_MACHINE that halshift reads and changes.
inline constexpr const char* kCurrentVersionKeyPath =
    "Software\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kWindowsControlKey = "System\\CurrentControlSet\\Control\\Windows";
inline constexpr const char* kSessionManagerKey =
    "System\\CurrentControlSet\\Control\\Session Manager";

// One key below HKEY_LOCAL_MACHINE and its value lines as regedit writes them
// ("\"CSDVersion\"=dword:00000600"; TextValue writes those of text data).
using RegistryKey = std::pair<std::string_view, std::vector<std::string>>;

// registry.reg: "REGEDIT4", then each key after a blank line, CR LF line ends.
inline std::string RegistryFileText(std::initializer_list<RegistryKey> keys) {
  std::string text = "REGEDIT4\r\n";
  for (const auto& [path, values] : keys) {
    text += "\r\n[HKEY_LOCAL_MACHINE\\" + std::string(path) + "]\r\n";
    for (const std::string& value : values) text += value + "\r\n";
  }
  return text;
}

// The value line of a text: "\"name\"=\"text\"", backslashes and quotes escaped.
inline std::string TextValue(std::string_view name, std::string_view text) {
  std::string line = "\"" + std::string(name) + "\"=\"";
  for (const char c : text) {
    if (c == '\\' || c == '"') line += '\\';
    line += c;
  }
  return line + "\"";
}

// The registry halshift reads on every machine: CurrentType and SystemRoot.
inline std::string CurrentVersionRegistry(std::string_view currentType,
                                          std::string_view systemRoot = "C:\\WINNT") {
  return RegistryFileText({{kCurrentVersionKeyPath,
                        {TextValue("CurrentType", currentType), TextValue("SystemRoot", systemRoot)}}});
}

// One section of machine.ini and its lines.
using IniSection = std::pair<std::string_view, std::vector<std::string>>;

// machine.ini (or any INI text): each section's header and lines, CR LF line ends.
inline std::string IniText(std::initializer_list<IniSection> sections) {
  std::string text;
  for (const auto& [name, lines] : sections) {
    text += "[" + std::string(name) + "]\r\n";
    for (const std::string& line : lines) text += line + "\r\n";
  }
  return text;
}

// The [System] lines of an NT 4.0 build 1381 machine run by an administrator.
inline std::vector<std::string> Nt4SystemLines() {
  return {"Version=4.0", "Build=1381", "Platform=NT", "Administrator=yes",
          "SystemDirectory=C:\\WINNT\\System32"};
}

// Marks a file of the image in use by the running system (machine.ini's [InUse]), so that it
// can only be replaced at the next start.
inline void MarkInUse(TempImage& image, std::string_view windowsPath) {
  std::string ini = image.ReadImageFile("machine.ini").value_or("");
  const std::string line = std::string(windowsPath) + "=\r\n";
  const std::string header = "[InUse]\r\n";
  const auto at = ini.find(header);
  if (at == std::string::npos) {
    if (!ini.empty() && ini.back() != '\n') ini += "\r\n";
    ini += header + line;
  } else {
    ini.insert(at + header.size(), line);
  }
  image.WriteImageFile("machine.ini", ini);
}

}  // namespace halshift::testing
