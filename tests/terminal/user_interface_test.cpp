// The terminal face over a scripted terminal: modal nesting, message boxes, the chooser over a
// machine image, a terminal too small, lost input, and the screen handed back.
#include "tests/support/host_file.h"
#include "platform/terminal/user_interface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>

#include "core/state.h"
#include "platform/terminal/file_system_browse_source.h"
#include "ui/media_prompt.h"
#include "tests/support/image_builder.h"
#include "ui/resource.h"

namespace halshift::terminal {
namespace {

// Plays keys; each key may first change the screen size. Records every screen shown. When the
// script is over, input is gone (kHangup), so no test can wait for ever.
class ScriptedTerminal : public Terminal {
 public:
  bool Start() override {
    ++starts;
    running = startWorks;
    return startWorks;
  }
  void Stop() override {
    if (running) ++stops;
    running = false;
  }
  Size ScreenSize() override { return size; }
  void Present(const Canvas& canvas) override {
    EXPECT_TRUE(running) << "drawn while the screen was not started";
    screens.push_back(canvas.Dump());
  }
  Key ReadKey() override {
    if (keys.empty()) return Key::Of(KeyCode::kHangup);
    const Key key = keys.front();
    keys.pop_front();
    if (key.code == KeyCode::kResize) size = resizes.empty() ? size : resizes.front();
    if (key.code == KeyCode::kResize && !resizes.empty()) resizes.pop_front();
    return key;
  }
  void Type(std::string_view text) {
    for (char c : text) keys.push_back(Key::Char(c));
  }
  void Press(KeyCode code) { keys.push_back(Key::Of(code)); }
  bool Showed(std::string_view text) const {
    for (const std::string& screen : screens) {
      if (screen.find(text) != std::string::npos) return true;
    }
    return false;
  }

  Size size{80, 25};
  std::deque<Size> resizes;
  std::deque<Key> keys;
  std::vector<std::string> screens;
  bool startWorks = true;
  bool running = false;
  int starts = 0;
  int stops = 0;
};

class NoBrowsing : public BrowseSource {
 public:
  std::vector<char> Drives() override {
    ADD_FAILURE() << "the chooser was not asked for";
    return {};
  }
  std::optional<std::vector<DirectoryEntry>> List(std::string_view) override { return std::nullopt; }
};

// A handler whose reactions the test gives.
class TestHandler : public platform::DialogHandler {
 public:
  void OnInit(platform::DialogControls& dialog) override {
    if (onInit) onInit(dialog);
  }
  void OnCommand(platform::DialogControls& dialog, int commandId) override {
    commands.push_back(commandId);
    if (onCommand) {
      onCommand(dialog, commandId);
    } else if (commandId == IDC_OK || commandId == IDC_CANCEL) {
      dialog.End(commandId);
    }
  }
  bool OnSystemCommand(platform::DialogControls& dialog, unsigned commandId) override {
    systemCommands.push_back(commandId);
    return onSystemCommand ? onSystemCommand(dialog, commandId) : false;
  }

  std::function<void(platform::DialogControls&)> onInit;
  std::function<void(platform::DialogControls&, int)> onCommand;
  std::function<bool(platform::DialogControls&, unsigned)> onSystemCommand;
  std::vector<int> commands;
  std::vector<unsigned> systemCommands;
};

TEST(TerminalFace, NestedDialogsDrawOverTheOneBelowAndHandTheScreenBack) {
  ScriptedTerminal terminal;
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  TestHandler about;
  TestHandler main;
  main.onInit = [](platform::DialogControls& dialog) {
    dialog.AppendSystemMenuItem(IDM_ABOUTBOX, "&About halshift...");
    dialog.SetText(IDC_CURRENT_HAL, "Uniprocessor HAL");
  };
  int aboutResult = 0;
  int boxAnswer = 0;
  main.onSystemCommand = [&](platform::DialogControls&, unsigned id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX) return false;
    aboutResult = face.RunModal(IDD_ABOUTBOX, about);
    return true;
  };
  main.onCommand = [&](platform::DialogControls& dialog, int id) {
    if (id == IDC_APPLY) boxAnswer = dialog.MessageBox("Go on?", "Caution", 0x44);
    if (id == IDC_CLOSE) dialog.End(id);
  };
  // The menu's About item, OK in the About box; Tab to the second radio button, Enter (Apply)
  // and No in the question; then the menu's Close.
  terminal.Press(KeyCode::kF10);
  terminal.Press(KeyCode::kDown);
  terminal.Press(KeyCode::kEnter);
  terminal.Press(KeyCode::kEnter);
  terminal.Press(KeyCode::kTab);
  terminal.Press(KeyCode::kEnter);
  terminal.Press(KeyCode::kTab);
  terminal.Press(KeyCode::kEnter);
  terminal.Press(KeyCode::kF10);
  terminal.Press(KeyCode::kEnter);

  EXPECT_EQ(face.RunModal(IDD_HALSHIFT_DIALOG, main), IDC_CANCEL);
  EXPECT_EQ(aboutResult, IDC_OK);
  EXPECT_EQ(boxAnswer, platform::kIdNo);
  // Close reached the handler as a system command first, then as IDCANCEL.
  EXPECT_EQ(main.systemCommands, (std::vector<unsigned>{IDM_ABOUTBOX, platform::kSystemCommandClose}));
  EXPECT_EQ(main.commands, (std::vector<int>{IDC_APPLY, IDC_CANCEL}));
  EXPECT_TRUE(terminal.Showed("+- About halshift -"));
  EXPECT_TRUE(terminal.Showed("(i) Go on?"));
  // While a box is open the dialog below still shows around it.
  bool both = false;
  for (const std::string& screen : terminal.screens) {
    both = both || (screen.find("Go on?") != std::string::npos &&
                    screen.find("Uniprocessor HAL") != std::string::npos);
  }
  EXPECT_TRUE(both);
  // One full-screen stretch for the whole modal run, left when it ended.
  EXPECT_EQ(terminal.starts, 1);
  EXPECT_EQ(terminal.stops, 1);
  EXPECT_FALSE(face.Active());
}

TEST(TerminalFace, TooSmallTerminalSaysSoUntilResized) {
  ScriptedTerminal terminal;
  terminal.size = {60, 20};
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  TestHandler handler;
  terminal.Press(KeyCode::kEnter);  // ignored while the dialog cannot be seen
  terminal.resizes.push_back({80, 25});
  terminal.Press(KeyCode::kResize);
  terminal.Press(KeyCode::kEnter);
  EXPECT_EQ(face.RunModal(IDD_ABOUTBOX, handler), IDC_OK);
  ASSERT_GE(terminal.screens.size(), 3u);
  std::string message = terminal.screens[0];
  std::replace(message.begin(), message.end(), '\n', ' ');
  EXPECT_NE(message.find("halshift needs a terminal of at least 61x9 characters;"), std::string::npos)
      << terminal.screens[0];
  EXPECT_NE(message.find("this one is 60x20"), std::string::npos) << message;
  EXPECT_EQ(terminal.screens[1], terminal.screens[0]);
  EXPECT_NE(terminal.screens[2].find("About halshift"), std::string::npos);
  EXPECT_EQ(handler.commands, (std::vector<int>{IDC_OK}));

  // Escape still cancels a dialog that does not fit.
  terminal.size = {20, 5};
  terminal.Press(KeyCode::kEscape);
  EXPECT_EQ(face.RunModal(IDD_HALSHIFT_DIALOG, handler), IDC_CANCEL);
}

TEST(TerminalFace, LostInputEndsEveryModalRun) {
  ScriptedTerminal terminal;
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  TestHandler stubborn;
  stubborn.onCommand = [](platform::DialogControls&, int) {};  // never ends by itself
  EXPECT_EQ(face.RunModal(IDD_ABOUTBOX, stubborn), platform::kDialogFailed);
  EXPECT_EQ(stubborn.commands, (std::vector<int>{IDC_CANCEL}));
  EXPECT_EQ(face.MessageBox(platform::BoxOwner::kSession, "Continue?", "halshift Message", 0x44),
            platform::kIdNo);
  EXPECT_EQ(face.MessageBox(platform::BoxOwner::kSession, "Note", "halshift Message", 0x30),
            platform::kIdOk);
  EXPECT_EQ(terminal.starts, terminal.stops);
}

TEST(TerminalFace, MessageBoxAnswersFromKeys) {
  struct Case {
    const char* name;
    unsigned style;
    std::vector<Key> keys;
    int answer;
  } cases[] = {
      {"Enter on OK", 0x30, {Key::Of(KeyCode::kEnter)}, platform::kIdOk},
      {"Escape in an OK box", 0x30, {Key::Of(KeyCode::kEscape)}, platform::kIdOk},
      {"Yes is first", 0x44, {Key::Of(KeyCode::kEnter)}, platform::kIdYes},
      {"Tab to No", 0x44, {Key::Of(KeyCode::kTab), Key::Char(' ')}, platform::kIdNo},
      {"Escape does nothing, then n", 0x44, {Key::Of(KeyCode::kEscape), Key::Char('n')}, platform::kIdNo},
      {"Alt+Y", 0x44, {Key::Alt('y')}, platform::kIdYes},
  };
  for (const Case& c : cases) {
    ScriptedTerminal terminal;
    NoBrowsing browse;
    TerminalUserInterface face(terminal, browse);
    terminal.keys.assign(c.keys.begin(), c.keys.end());
    EXPECT_EQ(face.MessageBox(platform::BoxOwner::kNone, "Text\nsecond line", "Caption", c.style), c.answer)
        << c.name;
    EXPECT_TRUE(terminal.keys.empty()) << c.name;
    EXPECT_TRUE(terminal.Showed("+- Caption -")) << c.name;
    EXPECT_TRUE(terminal.Showed("second line")) << c.name;
  }
}

TEST(TerminalFace, WithoutAScreenBoxesAreConfirmedAndDialogsFail) {
  ScriptedTerminal terminal;
  terminal.startWorks = false;
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  TestHandler handler;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(face.MessageBox(platform::BoxOwner::kNone, "Text", "Caption", 0x44), platform::kIdYes);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Text"), std::string::npos);
  EXPECT_EQ(face.RunModal(IDD_ABOUTBOX, handler), platform::kDialogFailed);
  EXPECT_EQ(face.RunModal(12345, handler), platform::kDialogFailed);
  EXPECT_TRUE(terminal.screens.empty());
}

TEST(TerminalFace, OutputIsHeldWhileTheScreenIsInUse) {
  ScriptedTerminal terminal;
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  TerminalOutput out(face);
  TestHandler handler;
  handler.onCommand = [&](platform::DialogControls& dialog, int id) {
    out.Write("boot entry\n");
    dialog.End(id);
  };
  terminal.Press(KeyCode::kEnter);
  ::testing::internal::CaptureStdout();
  face.RunModal(IDD_ABOUTBOX, handler);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "boot entry\n");
  for (const std::string& screen : terminal.screens) EXPECT_EQ(screen.find("boot entry"), std::string::npos);
}

// The media prompt of the program over a machine image, Browse included.
TEST(TerminalFace, MediaPromptBrowsesTheImageAndReturnsTheDirectory) {
  testing::TempImage image;
  image.WriteMinimalMachine();
  image.WriteDriveFile("D:\\I386\\HAL.DL_", "compressed");
  image.WriteDriveFile("D:\\I386\\NTOSKRNL.EX_", "compressed");
  image.MakeDriveDirectory("D:\\NT4SP6");
  auto machine = testing::OpenMachine(image);
  ASSERT_TRUE(machine);
  FileSystemBrowseSource browse(machine->Platform().files);
  ScriptedTerminal terminal;
  TerminalUserInterface face(terminal, browse);
  SystemSurvey survey;
  survey.servicePack = 6;
  survey.cdromDrive = "D:";

  terminal.Press(KeyCode::kTab);    // to Browse
  terminal.Press(KeyCode::kEnter);  // the chooser opens on D:\, the name selected
  terminal.Type("i386");
  terminal.Press(KeyCode::kEnter);  // a folder typed as the name opens it
  terminal.Press(KeyCode::kF2);     // all files
  terminal.Press(KeyCode::kBackTab);
  terminal.Press(KeyCode::kEnd);    // the last entry: NTOSKRNL.EX_
  terminal.Press(KeyCode::kUp);     // HAL.DL_
  terminal.Press(KeyCode::kEnter);
  terminal.Press(KeyCode::kTab);    // from Browse to OK
  terminal.Press(KeyCode::kEnter);

  const std::optional<std::string> directory =
      ui::ChooseSourceDirectory(face, machine->Platform().ui, survey, machine->Platform().files);
  EXPECT_EQ(directory, std::optional<std::string>("D:\\I386")) << terminal.screens.back();
  EXPECT_TRUE(terminal.keys.empty());
  EXPECT_TRUE(terminal.Showed("\"Windows NT Service Pack 6\""));
  EXPECT_TRUE(terminal.Showed("[D:\\I386\\HAL.DLL"));  // the proposal
  EXPECT_TRUE(terminal.Showed("Look in: D:\\I386"));
  EXPECT_TRUE(terminal.Showed("| NT4SP6\\"));
  EXPECT_TRUE(terminal.Showed("| NTOSKRNL.EX_"));
  EXPECT_TRUE(terminal.Showed("[D:\\I386\\HAL.DL_"));  // the choice in the box
  EXPECT_TRUE(terminal.Showed("Files of type: All files (*.*)"));
  // The drives of the image lead the listing.
  EXPECT_TRUE(terminal.Showed("| C:\\"));
  EXPECT_TRUE(terminal.Showed("| D:\\"));
}

TEST(TerminalFace, ChooserListsDrivesFoldersAndFilteredFilesAsOnDisk) {
  testing::TempImage image;
  image.WriteMinimalMachine();
  image.WriteDriveFile("D:\\i386\\hal.dll", "x");
  image.WriteDriveFile("D:\\i386\\HalMps.Dll", "x");
  image.WriteDriveFile("D:\\i386\\NTDLL.DLL", "x");
  image.MakeDriveDirectory("D:\\i386\\sub");
  auto machine = testing::OpenMachine(image);
  ASSERT_TRUE(machine);
  FileSystemBrowseSource browse(machine->Platform().files);
  EXPECT_EQ(browse.StartDirectory(), "D:\\");
  const platform::FileFilter filters[] = {{"NT Hal (HAL*.DLL)", "HAL*.DLL"}, {"All files (*.*)", "*.*"}};
  const platform::OpenFileRequest request{"Browse", "Hal.dll", filters, platform::kOfnHideReadOnly};
  FileChooserModel chooser(request, browse, "D:\\I386");
  std::vector<std::string> expected;
  for (char letter : browse.Drives()) expected.push_back(std::string(1, letter) + ":\\");
  ASSERT_FALSE(expected.empty());
  for (const char* name : {"..", "sub\\", "hal.dll", "HalMps.Dll"}) expected.emplace_back(name);
  EXPECT_EQ(chooser.ListingNames(), expected);
  EXPECT_EQ(chooser.FilterLabel(), "NT Hal (HAL*.DLL)");
  // A wildcard typed as the name filters by it.
  chooser.HandleKey(Key::Char('N'));
  chooser.HandleKey(Key::Char('*'));
  EXPECT_FALSE(chooser.HandleKey(Key::Of(KeyCode::kEnter)));
  EXPECT_EQ(chooser.ListingNames().back(), "NTDLL.DLL");
  EXPECT_EQ(chooser.FilterLabel(), "N*");
  // ".." goes up; a file name typed is returned with the directory it is in.
  chooser.HandleKey(Key::Of(KeyCode::kHome));
  chooser.HandleKey(Key::Of(KeyCode::kEnd));
  for (int i = 0; i < 3; ++i) chooser.HandleKey(Key::Of(KeyCode::kBackspace));
  chooser.HandleKey(Key::Char('.'));
  chooser.HandleKey(Key::Char('.'));
  EXPECT_FALSE(chooser.HandleKey(Key::Of(KeyCode::kEnter)));
  EXPECT_EQ(chooser.Directory(), "D:\\");
  for (char c : std::string("I386\\HALMPS.DLL")) chooser.HandleKey(Key::Char(c));
  const auto outcome = chooser.HandleKey(Key::Of(KeyCode::kEnter));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->path, std::optional<std::string>("D:\\I386\\HALMPS.DLL"));
  // Escape cancels.
  const auto cancelled = chooser.HandleKey(Key::Of(KeyCode::kEscape));
  ASSERT_TRUE(cancelled);
  EXPECT_FALSE(cancelled->path);
}

TEST(TerminalFace, HelpShowsTheManualPageScrollably) {
  ScriptedTerminal terminal;
  terminal.size = {80, 12};
  NoBrowsing browse;
  TerminalUserInterface face(terminal, browse);
  terminal.Press(KeyCode::kEnd);
  terminal.Press(KeyCode::kChar);
  terminal.keys.back().ch = 'q';
  face.ShowHelp("C:\\HALSHIFT.HLP");
  ASSERT_EQ(terminal.screens.size(), 2u);
  EXPECT_NE(terminal.screens[0].find("halshift(1)"), std::string::npos);
  EXPECT_NE(terminal.screens[0].find("NAME"), std::string::npos) << terminal.screens[0];
  // The end of the page differs from its beginning when the page is longer than the box.
  const std::vector<std::string> lines = ManualLines(ManualPage(), 74);
  ASSERT_GT(lines.size(), 7u);
  EXPECT_NE(terminal.screens[1], terminal.screens[0]);
  EXPECT_NE(terminal.screens[1].find(lines.back()), std::string::npos) << terminal.screens[1];
}

// Help shows the text that Halibut wrote from docs/manual/ with the manual page, the Linux
// build's own pages included, and nothing else.
TEST(TerminalFace, HelpIsTheManualsText) {
  ASSERT_TRUE(std::filesystem::exists(HALSHIFT_MANUAL_TEXT)) << HALSHIFT_MANUAL_TEXT;
  const std::string written = halshift::testing::ReadHostFile(HALSHIFT_MANUAL_TEXT);
  EXPECT_EQ(ManualPage(), written);
  const std::string_view page = ManualPage();
  for (std::string_view part : {"NAME", "SYNOPSIS", "DESCRIPTION", "EXIT STATUS", "DIAGNOSTICS",
                                "HALSHIFT_MACHINE", "In a terminal", "The correct HAL is installed",
                                "Can not find NT source media."}) {
    EXPECT_NE(page.find(part), std::string_view::npos) << part;
  }
  // Plain text: no roff requests or font escapes.
  EXPECT_EQ(page.find("\\f"), std::string_view::npos);
  EXPECT_EQ(page.find("\n.SH"), std::string_view::npos);
}

}  // namespace
}  // namespace halshift::terminal
