// The interactive face of the Linux build on a terminal: message boxes, the modal dialogs of
// the interactive window drawn from their templates, the open-file chooser, and the manual
// page as help.
//
// May contain: POSIX and C++ standard library calls; the curses library only in curses.cpp.
// No logic of the program.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/terminal/file_chooser.h"
#include "platform/terminal/manual_viewer.h"
#include "platform/terminal/message_box.h"
#include "platform/terminal/dialog.h"
#include "platform/terminal/screen.h"
#include "platform/platform.h"
#include "platform/dialog_host.h"

namespace halshift::terminal {

// The screen and the keyboard.
class Terminal {
 public:
  virtual ~Terminal() = default;
  // Enters full-screen mode; false when the terminal cannot be driven.
  virtual bool Start() = 0;
  // Leaves full-screen mode and restores the terminal as it was; nothing when not started.
  virtual void Stop() = 0;
  virtual Size ScreenSize() = 0;
  virtual void Present(const Canvas& canvas) = 0;
  // Waits for the next key; KeyCode::kHangup when no input can come any more.
  virtual Key ReadKey() = 0;
};

// The curses terminal on standard input and output (curses.cpp).
std::unique_ptr<Terminal> MakeCursesTerminal();
// Whether standard input and output are a terminal that can be driven full-screen (TERM set
// and not "dumb").
bool FullScreenTerminalAvailable();

// The manual's plain text, written from docs/manual/ at build time: what Help shows.
std::string_view ManualPage();

// The message box that says the terminal is too small, for tests.
std::string TooSmallMessage(Size needed, Size screen);

class TerminalUserInterface : public platform::UserInterface, public platform::DialogHost {
 public:
  TerminalUserInterface(Terminal& terminal, BrowseSource& browse);
  ~TerminalUserInterface() override;
  TerminalUserInterface(const TerminalUserInterface&) = delete;
  TerminalUserInterface& operator=(const TerminalUserInterface&) = delete;

  int MessageBox(platform::BoxOwner owner, std::string_view text, std::string_view caption,
                 unsigned style) override;
  std::string LoadString(unsigned id) override;
  void ShowHelp(std::string_view helpFile) override;
  platform::DialogHost* Dialogs() override { return this; }

  int RunModal(int templateId, platform::DialogHandler& handler) override;

  // Boxes and choosers of a dialog (DialogControls).
  int RunMessageBox(std::string_view text, std::string_view caption, unsigned style);
  std::optional<std::string> RunFileChooser(const platform::OpenFileRequest& request);

  // Whether the screen is in full-screen mode now (standard output is held back meanwhile).
  bool Active() const { return started_; }
  // Text for standard output: written at once when the screen is not active, else kept
  // until it is left.
  void WriteOutput(std::string_view text);

  // The screen as the layers draw it now, for tests.
  Canvas Compose();

 private:
  bool EnsureStarted();
  void StopIfIdle();
  Key WaitKey();

  Terminal& terminal_;
  BrowseSource& browse_;
  std::vector<const Layer*> layers_;
  bool started_ = false;
  bool unusable_ = false;
  bool hungUp_ = false;
  std::string heldOutput_;
};

// Standard output that does not write over the full-screen window.
class TerminalOutput : public platform::StandardOutput {
 public:
  explicit TerminalOutput(TerminalUserInterface& ui) : ui_(ui) {}
  void Write(std::string_view text) override { ui_.WriteOutput(text); }

 private:
  TerminalUserInterface& ui_;
};

}  // namespace halshift::terminal
