// HKEY_LOCAL_MACHINE served from an NT 4.0 installation's SOFTWARE and SYSTEM hives, read and
// written through hivex.
//
// May contain: POSIX and C++ standard library calls, hivex. Must not contain: any of the
// program's own logic.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/machine_image.h"
#include "platform/platform.h"

namespace halshift::image {

namespace hive {

// The fields of a hive file's header block (its first 4096 bytes) that decide whether it may
// be read and rewritten.
inline constexpr std::size_t kHeaderSize = 4096;
inline constexpr std::size_t kSequence1Offset = 0x04;   // set before a write of the hive
inline constexpr std::size_t kSequence2Offset = 0x08;   // set after it: equal when whole
inline constexpr std::size_t kWriteTimeOffset = 0x0C;   // FILETIME of the last write
inline constexpr std::size_t kMajorOffset = 0x14;
inline constexpr std::size_t kMinorOffset = 0x18;
inline constexpr std::size_t kFileTypeOffset = 0x1C;
inline constexpr std::size_t kBinsSizeOffset = 0x28;
inline constexpr std::size_t kChecksumOffset = 0x1FC;   // over the 127 double words before it
inline constexpr std::uint32_t kNewestMinor = 3;  // format 1.3, the one NT 4.0 writes

struct Header {
  std::uint32_t sequence1 = 0;
  std::uint32_t sequence2 = 0;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t fileType = 0;   // 0: a primary hive (a log file has another)
  std::uint32_t binsSize = 0;   // bytes of hive bins after the header block
  std::uint32_t checksum = 0;
};

enum class HeaderProblem {
  kNone,
  kNotAHive,    // no "regf" signature, or not a primary hive file
  kTruncated,   // shorter than its header block and the bins it declares
  kDirty,       // the two sequence numbers differ
  kFormat,      // not format 1.1 to 1.3
  kChecksum,    // the header's checksum does not match
};

// The little-endian double word at offset; the caller checks that it lies in bytes.
std::uint32_t ReadLe32(std::span<const std::uint8_t> bytes, std::size_t offset);
// The XOR of the header block's first 127 double words.
std::uint32_t HeaderChecksum(std::span<const std::uint8_t> header);
// Reads the header of a hive file of fileSize bytes from its first bytes (fewer than a header
// block is kTruncated).
HeaderProblem CheckHeader(std::span<const std::uint8_t> bytes, std::uint64_t fileSize,
                          Header* header = nullptr);
// What the problem means and what to do about it, after the file's name.
std::string DescribeProblem(HeaderProblem problem, const Header& header);

enum class Root { kSoftware, kSystem };
struct KeyPath {
  Root root = Root::kSoftware;
  // The path's components below the hive's root key, as given (without the root's name).
  std::vector<std::string_view> components;
};
// Splits a path below HKEY_LOCAL_MACHINE ("Software\\...", "System\\...", matched without
// regard to case); nothing for another root or an empty component.
std::optional<KeyPath> SplitKeyPath(std::string_view keyPath);
// "ControlSet001" for a Select\Current of 1; nothing outside 1 to 999.
std::optional<std::string> ControlSetName(std::uint32_t current);

// The system's ANSI code page (1252) to and from the registry's UTF-16LE, and to hivex's
// UTF-8 names. A UTF-16 unit that the code page has no byte for reads as '?', as
// WideCharToMultiByte makes it; an odd last byte is dropped.
std::string AnsiFromUtf16(std::span<const std::uint8_t> utf16);
std::string Utf16FromAnsi(std::span<const std::uint8_t> ansi);
std::string Utf8FromAnsi(std::string_view ansi);

}  // namespace hive

class HiveRegistry final : public platform::Registry {
 public:
  // Opens both hives (host paths, already confined by the caller), without following a
  // symbolic link in the last component. Refuses, with error set to one line naming the file
  // and what to do, and nothing changed: a hive whose two sequence numbers differ (left dirty:
  // NT would replay its .LOG), one whose format is not 1.1 to 1.3, one whose header is damaged
  // or that hivex cannot open. Then removes the leftovers of a rewrite that a process ended
  // in the middle of (the hive folders' private temporary files named after the hives).
  // faults: the image's injector; the rewrite's host steps are counted through it and it is
  // asked about kRegSetValue and kRenameTemporary as the image's own writes are.
  // With Leftovers::kKeep (a look at the hives before the installation is accepted), Open
  // changes nothing at all and the leftovers wait for the next Open that removes them.
  enum class Leftovers { kRemove, kKeep };
  // kInstallation: the hives are the installation's own files, and each rewrite is flushed
  // before and after its rename. kScratch: private copies of hives kept elsewhere, which the
  // caller writes back durably itself; they are not flushed, since a cut loses nothing there.
  enum class Hives { kInstallation, kScratch };
  static std::unique_ptr<HiveRegistry> Open(const std::filesystem::path& softwareHive,
                                            const std::filesystem::path& systemHive,
                                            FaultInjector& faults, std::string& error,
                                            Leftovers leftovers = Leftovers::kRemove,
                                            Hives hives = Hives::kInstallation);
  ~HiveRegistry() override;
  HiveRegistry(const HiveRegistry&) = delete;
  HiveRegistry& operator=(const HiveRegistry&) = delete;

  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override;
  // Sets a value in an existing key of the SOFTWARE hive and rewrites the hive crash-safe:
  // hivex commits to a new private file beside it, which is flushed, read back and checked,
  // then renamed over the hive, and the folder is flushed. The hive is then the old file or
  // the new one, whole. Keys are never created. In SYSTEM, returns ERROR_ACCESS_DENIED.
  long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                std::span<const std::uint8_t> data) override;

 private:
  struct Hive;
  HiveRegistry(std::unique_ptr<Hive> software, std::unique_ptr<Hive> system,
               FaultInjector& faults, Hives hives);
  // The hive of a key path and the path's components below its root (UTF-8, with
  // CurrentControlSet read as the control set in use); nothing for a path outside both hives.
  Hive* Locate(std::string_view keyPath, std::vector<std::string>& components);
  std::unique_ptr<Hive> software_;
  std::unique_ptr<Hive> system_;
  FaultInjector& faults_;
  Hives hives_;
};

}  // namespace halshift::image
