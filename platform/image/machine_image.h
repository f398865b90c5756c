// The machine image: a directory that stands for one Windows NT machine, serving the
// platform operations of SystemInfo, Registry, FileSystem, PhysicalMemory and NativeLinks.
//
// May contain: POSIX and C++ standard library calls, libmspack. Must not contain: any of the
// program's own logic; every rule about HALs, boot menus or logs lives outside platform/.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace halshift::image {

// Makes chosen calls of named operations fail, for tests that prove no failure loses data.
// Operation names are the platform's own: "GetVersion", "OpenServiceControlManager",
// "RegQueryValue", "RegSetValue", "FindFirstFile", "SetFileAttributes", "GetFileAttributes",
// "CreateDirectory", "CopyFile", "MoveFile", "MoveFileEx", "DeleteFile", "GetTempFileName",
// "ReadFile", "OpenFile", "WriteFile", "CloseFile", "GetPrivateProfileSection",
// "VerInstallFile", "ReadPhysical", "QuerySymbolicLink", "QueryDosDevice". Calls are counted
// from 1 for each name from the moment the injector was last reset.
class FaultInjector {
 public:
  // Makes the nth call (counted from 1) of the operation fail; with fromThenOn, that call and
  // every later one.
  void FailCall(std::string_view operation, int nth, bool fromThenOn = false);
  // Counts one call of the operation and tells whether it must fail.
  bool ShouldFail(std::string_view operation);
  // How many calls of the operation were counted.
  int CallCount(std::string_view operation) const;
  // How many calls were made to fail in all.
  int FailuresInjected() const { return failuresInjected_; }
  void Reset();

 private:
  struct Rule {
    int nth = 0;
    bool fromThenOn = false;
  };
  std::map<std::string, int, std::less<>> calls_;
  std::map<std::string, Rule, std::less<>> rules_;
  int failuresInjected_ = 0;
};

class MachineImage {
 public:
  // Reads machine.ini and registry.reg of the image directory. On a missing directory, a
  // missing machine.ini or a line that does not parse, returns nothing and sets error to a
  // message naming the file and line.
  static std::unique_ptr<MachineImage> Open(const std::filesystem::path& directory,
                                            std::string& error);
  ~MachineImage();

  platform::SystemInfo& System();
  platform::Registry& Registry();
  platform::FileSystem& Files();
  platform::PhysicalMemory& Memory();
  platform::NativeLinks& Links();
  FaultInjector& Faults();

  // The host path that a Windows path maps to (for tests and the terminal interface); nothing
  // when the drive has no folder or the path would leave it.
  std::optional<std::filesystem::path> HostPath(std::string_view windowsPath);

  struct State;

 private:
  explicit MachineImage(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace halshift::image
