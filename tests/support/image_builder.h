// Test helpers: throw-away machine images on disk, and recording stand-ins for the services
// that talk to a person (message boxes, standard output, the clock).
#pragma once

#include <ctime>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/image/machine_image.h"
#include "platform/platform.h"

namespace halshift::testing {

// A message box that was shown.
struct ShownBox {
  platform::BoxOwner owner;
  std::string text;
  std::string caption;
  unsigned style;
};

// Records every box; answers from a script (IDOK, or IDYES for a Yes/No box, when the script
// is empty).
class RecordingUserInterface : public platform::UserInterface {
 public:
  int MessageBox(platform::BoxOwner owner, std::string_view text, std::string_view caption,
                 unsigned style) override;
  std::string LoadString(unsigned id) override;
  void ShowHelp(std::string_view helpFile) override { helpFiles.emplace_back(helpFile); }

  std::vector<ShownBox> boxes;
  std::vector<std::string> helpFiles;
  std::deque<int> answers;
};

class RecordingOutput : public platform::StandardOutput {
 public:
  void Write(std::string_view text) override { written += text; }
  std::string written;
};

// Always 12/06/01 - 14:03:27, unless told otherwise.
class FixedClock : public platform::Clock {
 public:
  std::optional<std::tm> LocalTime() override { return now; }
  std::optional<std::tm> now = DefaultTime();
  static std::tm DefaultTime();
};

// A machine image in a fresh temporary directory, removed again when the object goes.
class TempImage {
 public:
  TempImage();
  ~TempImage();
  TempImage(const TempImage&) = delete;
  TempImage& operator=(const TempImage&) = delete;

  const std::filesystem::path& Root() const { return root_; }

  // Writes a file below the image directory ("machine.ini", "registry.reg", "memory/...").
  void WriteImageFile(const std::string& relative, std::string_view bytes);
  // Writes a file on a drive: "C:\\BOOT.INI" goes to drives/C/BOOT.INI. Folders are created
  // with the case given.
  void WriteDriveFile(const std::string& windowsPath, std::string_view bytes);
  void MakeDriveDirectory(const std::string& windowsPath);
  // The host path of a path on a drive, exactly as given (no case folding).
  std::filesystem::path DrivePath(const std::string& windowsPath) const;
  // Reads a file below the image directory, or nothing.
  std::optional<std::string> ReadImageFile(const std::string& relative) const;
  std::optional<std::string> ReadDriveFile(const std::string& windowsPath) const;
  // The Wine-style attributes of a drive file (read-only from the mode, hidden and system
  // from user.DOSATTRIB); kInvalidFileAttributes when missing.
  std::uint32_t DriveFileAttributes(const std::string& windowsPath) const;
  void SetDriveFileAttributes(const std::string& windowsPath, std::uint32_t attributes);

  // A complete image of a typical machine: NT 4.0 build 1381, administrator, C: fixed with
  // C:\WINNT, D: CD-ROM; no registry values beyond what the caller writes.
  void WriteMinimalMachine();

 private:
  std::filesystem::path root_;
};

// An opened image with recording stand-ins, ready to hand to the logic.
struct OpenedMachine {
  std::unique_ptr<image::MachineImage> image;
  RecordingUserInterface ui;
  RecordingOutput out;
  FixedClock clock;
  std::unique_ptr<platform::Platform> platform;

  platform::Platform& Platform() { return *platform; }
};

// Opens the image; fails the current test when it cannot be opened.
std::unique_ptr<OpenedMachine> OpenMachine(const TempImage& image);

// The rule line of the activity log as it is stored, CR LF included.
inline constexpr const char* kLogRule =
    "----------------------------------------------------------------------\r\n";

// The whole activity log C:\orvsystem\log\halshift.log, whatever the case of its folders on
// disk; nothing when there is none.
std::optional<std::string> ReadLog(const TempImage& image);

}  // namespace halshift::testing
