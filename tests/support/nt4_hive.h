// Test helpers: registry hives as Windows NT 4.0 writes them (format 1.3, "lf" subkey lists,
// "ri" over "li" lists for a key with many subkeys), the hives of a plain NT 4.0 installation,
// and a bounded reader that checks a written hive is still one that NT 4.0 can load.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::testing {

// A value as the hive stores it: strings in UTF-16LE (see the helpers below).
struct HiveValue {
  std::string name;  // ASCII; empty for the key's default value
  std::uint32_t type = 0;
  std::string data;
};

struct HiveKey {
  std::string name;  // ASCII
  std::vector<HiveValue> values;
  std::vector<HiveKey> subkeys;

  // The key at a backslash-separated path below this one, created with its parents when
  // missing (names matched without regard to case).
  HiveKey& At(std::string_view path);
  // Sets (adds or replaces) a value of this key.
  HiveKey& Set(HiveValue value);
};

// Values of each type. Strings get their terminating zero, as the system stores them.
HiveValue SzValue(std::string name, std::string_view text);
HiveValue ExpandSzValue(std::string name, std::string_view text);
HiveValue MultiSzValue(std::string name, const std::vector<std::string>& texts);
HiveValue DwordValue(std::string name, std::uint32_t number);
HiveValue BinaryValue(std::string name, std::string bytes);
// UTF-16LE of an ASCII or Latin-1 text, without a zero.
std::string Utf16(std::string_view text);

struct HiveOptions {
  std::uint32_t minor = 3;    // the format 1.minor in the header
  bool dirty = false;         // the second sequence number one more than the first
  // A key with more subkeys than this gets an "ri" list over "li" lists of at most this many.
  std::size_t listLimit = 256;
  std::string fileName = "\\SystemRoot\\System32\\Config\\SOFTWARE";  // the header's name
};

// The bytes of a hive file with root as its root key.
std::string Nt4HiveBytes(const HiveKey& root, const HiveOptions& options = {});
// Writes Nt4HiveBytes to path; fails the test when it cannot.
void WriteNt4Hive(const std::filesystem::path& path, const HiveKey& root,
                  const HiveOptions& options = {});

// The SOFTWARE and SYSTEM hives of a freshly installed uniprocessor NT 4.0 with Service
// Pack 6: Microsoft\Windows NT\CurrentVersion (CurrentType "Uniprocessor Free", SystemRoot
// "C:\WINNT", CurrentVersion "4.0", CurrentBuildNumber "1381", CSDVersion "Service Pack 6"),
// and Select (Current 1) with ControlSet001\Control\Windows (CSDVersion 0x600) and
// ControlSet001\Control\Session Manager. Tests add to them before writing.
HiveKey Nt4SoftwareHive();
HiveKey Nt4SystemHive();
inline constexpr std::string_view kSoftwareHiveName = "\\SystemRoot\\System32\\Config\\SOFTWARE";
inline constexpr std::string_view kSystemHiveName = "\\SystemRoot\\System32\\Config\\SYSTEM";
// Writes configFolder/SOFTWARE and configFolder/SYSTEM (the folder is created), each with the
// options given but its own name in the header.
void WriteNt4Hives(const std::filesystem::path& configFolder,
                   const HiveKey& software = Nt4SoftwareHive(),
                   const HiveKey& system = Nt4SystemHive(), HiveOptions options = {});

// A value read straight through hivex from a hive file, by a backslash-separated key path
// below the root ("Microsoft\\Windows NT\\CurrentVersion") and the value's name, with its data
// as stored (strings in UTF-16LE); nothing when the file, the key or the value is missing.
std::optional<HiveValue> ReadHiveValue(const std::filesystem::path& hive, std::string_view keyPath,
                                       std::string_view valueName);

// What a bounded walk of a hive's cells from its root finds.
struct HiveWalk {
  std::vector<std::string> problems;  // empty when NT 4.0 can load the hive
  // For each key (path from the root, by its stored names), its subkey list cells: their
  // kinds ("lf", "li", "ri", "lh"), offsets and bytes, as one text.
  std::map<std::string, std::string> subkeyLists;
  std::size_t keys = 0;
  std::size_t values = 0;
};
// Walks a hive: the header (signature, format 1.1 to 1.3, equal sequence numbers, checksum,
// bins), every key's subkey lists (an "lh" list is a problem: NT 4.0 cannot read one), value
// lists and values, never reading past the bytes or a cell.
HiveWalk WalkHive(std::string_view bytes);
// Success when the file at path is a hive that NT 4.0 can load.
::testing::AssertionResult IsNt4Hive(const std::filesystem::path& path);

}  // namespace halshift::testing
