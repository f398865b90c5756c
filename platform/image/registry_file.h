// registry.reg: the REGEDIT4 text form of the registry, parsed into keys and values and
// written back with every line that was not changed kept exactly as it was read.
//
// May contain: the C++ standard library. No file access: callers hand in and take out text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::image {

struct RegistryValue {
  std::string leading;  // blank and comment lines just before the value, as read
  std::string name;  // empty for the default value "@"
  std::uint32_t type = 0;
  std::string data;  // the bytes as RegQueryValueEx hands them out (REG_SZ with its zero)
  // The value's lines as read, line ends included; empty once the value has been changed,
  // and then written from name, type and data.
  std::string source;
};

struct RegistryKey {
  std::string path;    // full path as written, "HKEY_LOCAL_MACHINE\Software\..."
  std::string header;  // the header line as read, with its line end; empty for a new key
  std::vector<RegistryValue> values;
  std::string trailer;  // blank and comment lines after the key's values, as read
};

class RegistryFile {
 public:
  // Parses REGEDIT4 text. On failure error reads "<line>: <problem>".
  static std::optional<RegistryFile> Parse(std::string_view text, std::string& error);
  // An empty registry ("REGEDIT4" and nothing else).
  static RegistryFile Empty();

  // Whether a key exists under HKEY_LOCAL_MACHINE: it has a header, or a key below it has one
  // (importing a file creates the keys on the way).
  bool KeyExists(std::string_view hklmPath) const;
  // The value, the last one given when a key or value appears more than once; nothing when the
  // key or value is missing.
  const RegistryValue* Find(std::string_view hklmPath, std::string_view name) const;
  // Creates or replaces a value of an HKEY_LOCAL_MACHINE key, adding the key's header at the
  // end of the file when it has none.
  void Set(std::string_view hklmPath, std::string_view name, std::uint32_t type,
           std::string_view data);

  const std::vector<RegistryKey>& Keys() const { return keys_; }
  std::string Text() const;

  // The data part of a value line as regedit writes it ("\"text\"", "dword:...", "hex(7):..").
  static std::string FormatValue(const RegistryValue& value, std::string_view newline);

 private:
  RegistryKey* FindKey(std::string_view fullPath);
  std::string preamble_;  // "REGEDIT4" and the lines before the first key
  std::vector<RegistryKey> keys_;
  std::string newline_ = "\r\n";
};

// "HKEY_LOCAL_MACHINE\" followed by the path, with separators at its ends removed.
std::string LocalMachinePath(std::string_view hklmPath);

}  // namespace halshift::image
