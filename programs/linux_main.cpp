// Entry point of the Linux build: opens the offline installation that its own options name, or
// else the machine image named by HALSHIFT_MACHINE, and runs halshift against it with the rest
// of the command line joined as Windows would hand it over.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include "app/app.h"
#include "platform/image/command_line.h"
#include "platform/image/console.h"
#include "platform/image/machine_image.h"
#include "platform/image/offline.h"
#include "platform/terminal/file_system_browse_source.h"
#include "platform/terminal/user_interface.h"
#include "ui/main_dialog.h"

namespace {

int RunHalshift(halshift::platform::Platform& platform, const std::string& tail) {
  halshift::HalUtilityApp app(platform, halshift::ui::RunHalUtilityDialog);
  app.Startup(tail);
  return app.Shutdown();
}

// The exit code of the Linux build's own refusals: its options or the offline installation
// they name; the Windows command line keeps its own codes 1 and 0.
constexpr int kRefusedExitCode = 2;
// A disk whose changed files do not read back as the session left them.
constexpr int kReadBackExitCode = 3;

// After a session on a disk image: its changed files read back through a fresh open.
int ReadBack(halshift::image::MachineImage& image, int exitCode) {
  std::string error;
  if (image.VerifyDisk(error)) return exitCode;
  std::cerr << "halshift: " << halshift::image::OneLine(error) << "\n";
  return kReadBackExitCode;
}

// The machine the options name: the offline installation, or else HALSHIFT_MACHINE's image.
// Nothing when it cannot be opened; exitCode is then the program's exit code.
std::unique_ptr<halshift::image::MachineImage> OpenMachine(
    const halshift::image::LinuxOptions& options, int& exitCode) {
  std::string error;
  if (options.offline) {
    std::unique_ptr<halshift::image::MachineImage> image;
    const auto offline = halshift::image::DescribeOfflineMachine(options, error);
    if (offline) image = halshift::image::MachineImage::OpenOffline(*offline, error);
    if (!image) {
      std::cerr << "halshift: " << halshift::image::OneLine(error) << "\n";
      exitCode = kRefusedExitCode;
      return nullptr;
    }
    if (const std::string backup = image->DiskBackup(); !backup.empty()) {
      std::cout << "halshift: the disk as it was before this run is kept: "
                << halshift::image::OneLine(backup) << std::endl;
    }
    return image;
  }
  // A machine that cannot be read is left alone, with the exit code of a stop.
  exitCode = 0;
  const char* machine = std::getenv("HALSHIFT_MACHINE");
  if (machine == nullptr || *machine == '\0') {
    std::cerr << "halshift: HALSHIFT_MACHINE does not name a machine image directory\n";
    return nullptr;
  }
  auto image = halshift::image::MachineImage::Open(machine, error);
  if (!image) std::cerr << "halshift: " << error << "\n";
  return image;
}

// The session in the full-screen window; its exit code.
int RunInTerminal(halshift::image::MachineImage& image, halshift::platform::Clock& clock,
                  const std::string& tail) {
  namespace terminal = halshift::terminal;
  std::unique_ptr<terminal::Terminal> screen = terminal::MakeCursesTerminal();
  terminal::FileSystemBrowseSource browse(image.Files());
  // The face restores the terminal when it goes, before the exit code is returned.
  terminal::TerminalUserInterface ui(*screen, browse);
  terminal::TerminalOutput out(ui);
  halshift::platform::Platform platform{image.System(), image.Registry(), image.Files(),
                                        image.Memory(), image.Links(),    ui,
                                        out,            clock};
  return RunHalshift(platform, tail);
}

}  // namespace

int main(int argc, char** argv) {
  const std::span<const char* const> arguments(argv + 1, static_cast<std::size_t>(argc - 1));
  std::string error;
  const auto options = halshift::image::ParseLinuxOptions(arguments, error);
  if (!options) {
    std::cerr << "halshift: " << error << "\n";
    return kRefusedExitCode;
  }
  int refusal = 0;
  const auto image = OpenMachine(*options, refusal);
  if (!image) return refusal;
  const std::string tail = halshift::image::JoinCommandLine(arguments.subspan(options->windowsStart));
  halshift::image::SystemClock clock;

  // A person at a terminal gets the window; a pipe, a script or a dumb terminal gets the
  // console, which never waits for input that cannot come.
  if (halshift::terminal::FullScreenTerminalAvailable()) {
    return ReadBack(*image, RunInTerminal(*image, clock, tail));
  }
  halshift::image::ConsoleUserInterface ui;
  halshift::image::ConsoleOutput out;
  halshift::platform::Platform platform{image->System(), image->Registry(), image->Files(),
                                        image->Memory(), image->Links(),    ui,
                                        out,             clock};
  return ReadBack(*image, RunHalshift(platform, tail));
}
