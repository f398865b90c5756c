// The operations halshift needs from the machine, one small interface per service.
//
// The program's logic reaches the machine only through these interfaces. Two real
// implementations exist: the Win32 bindings (platform/win32) and the machine image
// (platform/image), which serves the same operations from a directory that stands for a
// machine. Every operation reports failure as a value; none throws.
//
// Texts are 8-bit strings in the system's ANSI code page. Paths are Windows paths
// ("C:\WINNT\System32\HAL.DLL"), also on the machine image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace halshift::platform {

class DialogHost;  // platform/dialog_host.h

// Values as Windows defines them.
inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFileAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kFileAttributeHidden = 0x02;
inline constexpr std::uint32_t kFileAttributeSystem = 0x04;
inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeArchive = 0x20;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

inline constexpr unsigned kDriveUnknown = 0;
inline constexpr unsigned kDriveNoRootDir = 1;
inline constexpr unsigned kDriveRemovable = 2;
inline constexpr unsigned kDriveFixed = 3;
inline constexpr unsigned kDriveRemote = 4;
inline constexpr unsigned kDriveCdrom = 5;
inline constexpr unsigned kDriveRamdisk = 6;

inline constexpr std::uint32_t kMoveFileReplaceExisting = 0x1;
inline constexpr std::uint32_t kMoveFileDelayUntilReboot = 0x4;

inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorMoreData = 234;

// VerInstallFileA flags and result bits.
inline constexpr std::uint32_t kViffForceInstall = 0x1;
inline constexpr std::uint32_t kVifTempFile = 0x1;
inline constexpr std::uint32_t kVifWriteProt = 0x40;
inline constexpr std::uint32_t kVifFileInUse = 0x80;
inline constexpr std::uint32_t kVifOutOfSpace = 0x100;
inline constexpr std::uint32_t kVifAccessViolation = 0x200;
inline constexpr std::uint32_t kVifSharingViolation = 0x400;
inline constexpr std::uint32_t kVifCannotCreate = 0x800;
inline constexpr std::uint32_t kVifCannotDelete = 0x1000;
inline constexpr std::uint32_t kVifCannotRename = 0x2000;
inline constexpr std::uint32_t kVifOutOfMemory = 0x8000;
inline constexpr std::uint32_t kVifCannotReadSrc = 0x10000;
inline constexpr std::uint32_t kVifCannotReadDst = 0x20000;

// Message box styles and answers.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbButtonsMask = 0xF;  // MB_TYPEMASK: which buttons
inline constexpr unsigned kMbIconInformation = 0x40;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbIconMask = 0xF0;  // MB_ICONMASK: which icon
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

// Version, rights and system facts.
class SystemInfo {
 public:
  virtual ~SystemInfo() = default;
  // GetVersion: bit 31 clear on Windows NT; bits 0-7 major, bits 8-15 minor, 16-30 build.
  virtual std::uint32_t GetVersion() = 0;
  // OpenSCManagerA(local, active database, 0xF003F) followed at once by CloseServiceHandle:
  // true when a handle came back, which only an administrator gets.
  virtual bool OpenServiceControlManager() = 0;
  // GetSystemDirectoryA into a 260-character buffer; empty on failure.
  virtual std::string GetSystemDirectory() = 0;
  // The program file's full path (GetModuleFileNameA); the help file is derived from it.
  virtual std::string GetModuleFileName() = 0;
  // What keeps the system as it was before this session, made by the platform before the
  // session began (the name of a disk snapshot or the path of a copy), for the log; empty when
  // the platform made none, as on a running system.
  virtual std::string KeptState() { return {}; }
};

// The registry under HKEY_LOCAL_MACHINE. Every key is opened with KEY_ALL_ACCESS, used and
// closed within one call: RegOpenKeyExA, then RegQueryValueExA or RegSetValueExA, then
// RegCloseKey.
class Registry {
 public:
  virtual ~Registry() = default;
  struct QueryResult {
    long status = kErrorFileNotFound;  // ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA...
    std::uint32_t type = 0;            // REG_SZ, REG_DWORD, ... when status is ERROR_SUCCESS
    std::size_t size = 0;              // bytes stored (success) or needed (ERROR_MORE_DATA)
  };
  // Copies the value's data into buffer. When the data is larger than the buffer, reports
  // ERROR_MORE_DATA; the buffer's contents are then unspecified (as on Windows). A key that
  // cannot be opened reports its own error status. Strings are stored with their zero.
  virtual QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                                 std::span<std::uint8_t> buffer) = 0;
  // Sets (creates or replaces) a value in an existing key and writes it to the disk before it
  // returns (RegFlushKey), so that it survives a power cut. Returns the status; the key is not
  // created when missing.
  virtual long SetValue(std::string_view keyPath, std::string_view valueName, std::uint32_t type,
                        std::span<const std::uint8_t> data) = 0;
};

// A file opened for writing. Bytes are written as given (no line-end conversion: callers that
// want text mode convert themselves). The file stays open, and on the exclusive open unshared,
// until Close or destruction.
class OutputFile {
 public:
  virtual ~OutputFile() = default;
  // Writes all of data or reports failure; after a failure the file's contents past what was
  // stored before are unspecified.
  virtual bool Write(std::span<const char> data) = 0;
  // Writes out what the system still holds of the file (FlushFileBuffers) and closes it;
  // false when anything written could not be stored. Once it returns true the bytes survive
  // a power cut. A second Close is a no-op returning true.
  virtual bool Close() = 0;
};

enum class OpenMode {
  kCreateTruncate,     // create or cut to length zero, shared for reading
  kAppendExclusive,    // create when missing, keep contents, position at the end, no sharing
};

// Files, directories, drives and the installer, as the Win32 calls of the same names behave on
// Windows NT 4.0. Paths are full Windows paths; a path without a drive lies on the system
// drive. Names match without regard to case, and a new name keeps the case given.
//
// Three kinds of target recur in the contracts below:
// - an existing file: one that the path names now;
// - a read-only file: one with FILE_ATTRIBUTE_READONLY; it can be read, renamed and moved, and
//   its attributes set, but not written, replaced or deleted;
// - a file in use: one whose image the running system holds (the HAL, the kernel); it can be
//   read, renamed and moved, also to another directory of its drive (the mark of use moves
//   with it), and its attributes set, but not written, replaced or deleted.
// An operation that fails changes nothing, unless its contract says otherwise.
class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // FindFirstFileA followed at once by FindClose: true when the path names an existing file or
  // directory, or when a wildcard pattern in its last component matches one (as
  // winpath::MatchesWildcard matches). False for a drive root and for a path that ends in a
  // separator.
  virtual bool FindFirstFile(std::string_view path) = 0;
  // GetDriveTypeA of a root such as "C:": kDriveFixed, kDriveCdrom, ...; kDriveNoRootDir for
  // a letter that names no drive.
  virtual unsigned GetDriveType(std::string_view root) = 0;
  // GetFileAttributesA: the read-only, hidden, system and directory bits, or
  // FILE_ATTRIBUTE_NORMAL for a file with none of them; kInvalidFileAttributes when the path
  // names nothing.
  virtual std::uint32_t GetFileAttributes(std::string_view path) = 0;
  // SetFileAttributesA: gives an existing file or directory exactly the read-only, hidden and
  // system bits of attributes (FILE_ATTRIBUTE_NORMAL clears all three). Allowed on read-only
  // files and files in use; fails when the path names nothing.
  virtual bool SetFileAttributes(std::string_view path, std::uint32_t attributes) = 0;
  // CreateDirectoryA with default security: one level; fails when the path exists or its
  // parent does not.
  virtual bool CreateDirectory(std::string_view path) = 0;
  // CopyFileA: newPath gets the bytes and the attributes of existing, which may be read-only or
  // in use. An existing newPath is replaced whole, in one step, or left as it was; the copy
  // fails when failIfExists is set and newPath exists, and when newPath is read-only or in use.
  virtual bool CopyFile(std::string_view existing, std::string_view newPath, bool failIfExists) = 0;
  // MoveFileA: renames a file or directory within its drive, also a read-only file or one in
  // use. Fails when newPath exists.
  virtual bool MoveFile(std::string_view existing, std::string_view newPath) = 0;
  // MoveFileExA.
  // - MOVEFILE_DELAY_UNTIL_REBOOT: nothing is moved now; the system records the move, or with
  //   no new name the deletion, and carries it out at its next start, before any file is in
  //   use. Records appear in PendingFileRenameOperations in the order they were made.
  // - Otherwise as MoveFile, except that with MOVEFILE_REPLACE_EXISTING an existing file at
  //   newPath is replaced by existing in one step, so that newPath always names the old or the
  //   new file. A newPath that is read-only or in use is not replaced (the move fails).
  virtual bool MoveFileEx(std::string_view existing, std::optional<std::string_view> newPath,
                          std::uint32_t flags) = 0;
  // DeleteFileA: removes an existing file; fails for a read-only file, a file in use and a
  // directory.
  virtual bool DeleteFile(std::string_view path) = 0;
  // GetTempFileNameA(directory, prefix, 0): creates an empty file with a unique name (the first
  // three characters of prefix, four hexadecimal digits, ".TMP") in the directory and returns
  // its full path; nothing on failure.
  virtual std::optional<std::string> GetTempFileName(std::string_view directory,
                                                      std::string_view prefix) = 0;
  // FindFirstFileA, FindNextFileA and FindClose over a pattern: every file and directory of the
  // pattern's directory that its last component matches (as FindFirstFile matches), "." and
  // ".." left out, in no particular order; empty when nothing matches or the directory cannot
  // be read.
  struct FoundFile {
    std::string name;  // as it is on disk
    std::uint64_t size = 0;
    std::uint32_t attributes = 0;  // as GetFileAttributes reports them
  };
  virtual std::vector<FoundFile> FindFiles(std::string_view pattern) = 0;
  // Writes out to the disk what the system still holds of existing files (for each, CreateFileA
  // for writing, FlushFileBuffers, CloseHandle); afterwards their bytes survive a power cut.
  // False when any of them is missing, read-only or in use, or cannot be flushed; nothing else
  // changes.
  virtual bool FlushFiles(std::span<const std::string> paths) = 0;
  // Writes out to the disk every change that the system still holds of one volume: the data of
  // its files, its directories (entries created, renamed, removed, their attributes) and its
  // allocation. drive names the volume as "C:" or as its root "C:\" (letter of either case);
  // any other text fails. Afterwards every change made on the volume before the call survives a
  // power cut, in the state it had at the call. FlushFiles makes only the files' own data
  // durable; on NT 4.0's FAT the directory changes reach the disk in no set order until this
  // is called. Win32: CreateFileA("\\\\.\\C:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ |
  // FILE_SHARE_WRITE, OPEN_EXISTING), FlushFileBuffers and CloseHandle, which an administrator
  // may do. True also when the volume's file system keeps no changes of its own to write out
  // (the flush is not a function of its driver, as on Wine's drives, whose changes the host
  // system keeps in order). False when the volume cannot be opened or flushed; nothing
  // changes.
  virtual bool FlushVolume(std::string_view drive) = 0;
  // Reads a whole file as bytes, also a read-only file or one in use; nothing when it does not
  // exist or cannot be read.
  virtual std::optional<std::string> ReadFile(std::string_view path) = 0;
  // Opens a file for writing; nothing when it cannot be opened: an existing file that is
  // read-only or in use, a directory, or, for kAppendExclusive and kCreateTruncate, a file
  // that another opener holds for writing.
  virtual std::unique_ptr<OutputFile> OpenFile(std::string_view path, OpenMode mode) = 0;
  // GetPrivateProfileSectionA: the section's lines in file order, each ended by a zero, then
  // one more zero; returns the characters stored without the final zero, 0 when the file or
  // section is missing or empty. The section name matches without regard to case. Each line
  // comes as "key=value" with the blanks around the key and the value removed; comment lines
  // (";") and blank lines are left out. A section larger than the buffer is cut to fit (the
  // result is then buffer.size() - 2).
  virtual std::uint32_t GetPrivateProfileSection(std::string_view section, std::span<char> buffer,
                                                 std::string_view file) = 0;
  // VerInstallFileA(flags, source name, destination name, source directory, destination
  // directory, current directory, temporary-name buffer): copies the source into the
  // destination directory under the destination name, expanding a compressed source, and
  // returns 0 only when the complete file is in place there. An existing destination is
  // replaced whole or left as it was: a destination in use gives VIF_FILEINUSE, a read-only
  // one VIF_WRITEPROT, a source that cannot be read VIF_CANNOTREADSRC. tempName receives the
  // temporary name the installer left behind (with VIF_TEMPFILE), which the caller removes.
  // The new file may carry the source's attributes: a file copied from a CD is read-only.
  virtual std::uint32_t VerInstallFile(std::uint32_t flags, std::string_view sourceName,
                                       std::string_view destinationName,
                                       std::string_view sourceDirectory,
                                       std::string_view destinationDirectory,
                                       std::string_view currentDirectory,
                                       std::string& tempName) = 0;
};

// Physical memory.
class PhysicalMemory {
 public:
  virtual ~PhysicalMemory() = default;
  // Copies destination.size() bytes from physicalAddress into destination. On failure nothing
  // is copied and the destination is untouched.
  virtual bool ReadPhysical(std::uint32_t physicalAddress, std::span<std::uint8_t> destination) = 0;
  // VirtualLock / VirtualUnlock of a buffer; results are not examined.
  virtual void Lock(std::span<std::uint8_t> buffer) = 0;
  virtual void Unlock(std::span<std::uint8_t> buffer) = 0;
};

// The NT object namespace: symbolic links and DOS device names.
class NativeLinks {
 public:
  virtual ~NativeLinks() = default;
  // The target of a symbolic link object such as "\ArcName\multi(0)disk(0)rdisk(0)partition(1)",
  // opened without regard to case; nothing when it cannot be opened or read.
  virtual std::optional<std::string> QuerySymbolicLink(std::string_view linkName) = 0;
  // QueryDosDeviceA of a drive such as "C:": the first string, the current NT device name.
  virtual std::optional<std::string> QueryDosDevice(std::string_view drive) = 0;
};

// Who owns a message box.
enum class BoxOwner {
  kNone,     // no owner window (the start-up boxes)
  kSession,  // the main window's last active popup, or the desktop when there is no main window
};

// Message boxes, string resources and the help viewer. The interactive window's dialogs have
// their own interface, DialogHost in platform/dialog_host.h.
class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // MessageBoxA; returns the button pressed (IDOK, IDYES, IDNO...).
  virtual int MessageBox(BoxOwner owner, std::string_view text, std::string_view caption,
                         unsigned style) = 0;
  // The text of a string resource; empty when there is none.
  virtual std::string LoadString(unsigned id) = 0;
  // WinHelpA(owner, helpFile, HELP_FINDER 0x000B, 0): the help file's Help Topics.
  virtual void ShowHelp(std::string_view helpFile) = 0;
  // The modal dialogs of the interactive window (platform/dialog_host.h); nothing when this
  // platform cannot show them, and the interactive session then ends without a window.
  virtual DialogHost* Dialogs() { return nullptr; }
};

// The process's standard output stream.
class StandardOutput {
 public:
  virtual ~StandardOutput() = default;
  virtual void Write(std::string_view text) = 0;
};

// Local time.
class Clock {
 public:
  virtual ~Clock() = default;
  // The local date and time now; nothing when it cannot be had.
  virtual std::optional<std::tm> LocalTime() = 0;
};

// All services of one machine, handed to the logic as one value.
struct Platform {
  SystemInfo& system;
  Registry& registry;
  FileSystem& files;
  PhysicalMemory& memory;
  NativeLinks& links;
  UserInterface& ui;
  StandardOutput& out;
  Clock& clock;
};

}  // namespace halshift::platform
