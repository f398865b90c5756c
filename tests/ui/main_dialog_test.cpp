// The main dialog and its Apply action, driven through a scripted dialog host over machine
// images: what the dialog shows, which operations an Apply runs, what it logs and shows.
#include "ui/main_dialog.h"

#include <gtest/gtest.h>

#include "core/strings.h"
#include "base/text.h"
#include "inspect/identify.h"
#include "tests/support/boot_machine.h"
#include "tests/support/image_builder.h"
#include "tests/support/machine_files.h"
#include "tests/support/pe_fixtures.h"
#include "tests/ui/scripted_dialogs.h"
#include "ui/resource.h"

namespace halshift::testing {
namespace {

std::string Text(unsigned id) { return std::string(strings::BuiltInString(id)); }

std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

constexpr const char* kLogPath = "C:\\APPLY.LOG";
constexpr const char* kMultiprocessorMedia[] = {"HALMPS.DLL", "NTKRNLMP.EXE", "NTDLL.DLL",
                                                "KERNEL32.DLL", "WINSRV.DLL", "WIN32K.SYS"};

// The state a main-dialog scene saw at some moment.
struct Snapshot {
  std::map<int, std::string> texts;
  std::map<int, bool> checks;
  static Snapshot Of(ScriptedDialog& dialog) {
    Snapshot s;
    for (auto& [id, control] : dialog.controls) {
      s.texts[id] = control.text;
      s.checks[id] = control.checked;
    }
    return s;
  }
  int CheckedHalChoice() const {
    int checked = 0;
    for (int id : {IDC_UPGRADE_HAL, IDC_DOWNGRADE_HAL, IDC_KEEP_HAL}) {
      if (checks.at(id)) {
        EXPECT_EQ(checked, 0) << "two HAL choices selected";
        checked = id;
      }
    }
    return checked;
  }
};

// A two-processor machine with the uniprocessor HAL, a boot drive C: and a CD-ROM D: whose
// I386 directory holds the files that the test puts there.
class MainDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBootMachine(image);
    WriteLoaderFiles(image, 'C', kSetupBootIni);
    for (const char* name : {"HAL.DLL", "NTOSKRNL.EXE"}) {
      image.WriteDriveFile(std::string("C:\\WINNT\\System32\\") + name, "old");
    }
    image.MakeDriveDirectory("D:\\I386");
  }

  // Each media file a whole image of its own, told apart by its name after the sections.
  void PutOnMedia(std::initializer_list<const char*> names) {
    for (const char* name : names) {
      image.WriteDriveFile(std::string("D:\\I386\\") + name, TaggedImage(name));
    }
  }
  void PutMultiprocessorSetOnMedia() {
    for (const char* name : kMultiprocessorMedia) {
      image.WriteDriveFile(std::string("D:\\I386\\") + name, TaggedImage(name));
    }
  }

  // Opens the image, identifies it as start-up does and runs the main dialog over the host's
  // script. processors and smbiosEnabledCores override the survey.
  void Run(std::int32_t processors = 2, std::int32_t smbiosEnabledCores = 0) {
    machine = OpenMachine(image);
    ASSERT_TRUE(machine);
    app = std::make_unique<HalUtilityApp>(machine->Platform());
    app->survey.installedProcessors = processors;
    app->survey.smbiosEnabledCores = smbiosEnabledCores;
    app->survey.cdromDrive = "D:";
    inspect::IdentifyHal(app->Machine(), app->installation);
    ASSERT_TRUE(app->log.Open(kLogPath));
    dialog = std::make_unique<ui::HalUtilityDialog>(*app, host);
    result = dialog->DoModal();
    app->log.Close();
  }

  std::string Log() { return image.ReadDriveFile(kLogPath).value_or(""); }
  std::string CurrentType() {
    const std::string reg = image.ReadImageFile("registry.reg").value_or("");
    const auto at = reg.find("\"CurrentType\"=\"");
    if (at == std::string::npos) return "";
    const auto start = at + 15;
    return reg.substr(start, reg.find('"', start) - start);
  }
  std::string BootIni() { return image.ReadDriveFile("C:\\BOOT.INI").value_or(""); }
  // Session boxes (ShowWarning) with this text.
  int SessionBoxes(const std::string& text) {
    int n = 0;
    for (const ShownBox& box : machine->ui.boxes) {
      if (box.text == text) {
        EXPECT_EQ(box.owner, platform::BoxOwner::kSession);
        EXPECT_EQ(box.caption, "halshift Message");
        EXPECT_EQ(box.style, platform::kMbIconExclamation);
        ++n;
      }
    }
    return n;
  }

  // A main-dialog scene: sets the HAL choice and the recovery mark, presses Apply once per
  // entry of applies, snapshots after each, then closes.
  void ThenApply(std::vector<std::pair<int, bool>> applies) {
    host.Then([this, applies](ScriptedDialog& main) {
      before = Snapshot::Of(main);
      for (auto [choice, recovery] : applies) {
        if (choice != 0) main.Click(choice);
        if (main.GetCheck(IDC_RECOVERY_OPTION) != recovery) main.Click(IDC_RECOVERY_OPTION);
        main.Click(IDC_APPLY);
        after.push_back(Snapshot::Of(main));
      }
      main.Click(IDC_CLOSE);
    });
  }

  TempImage image;
  std::unique_ptr<OpenedMachine> machine;
  std::unique_ptr<HalUtilityApp> app;
  ScriptedDialogHost host;
  std::unique_ptr<ui::HalUtilityDialog> dialog;
  int result = 0;
  Snapshot before;
  std::vector<Snapshot> after;
};

TEST_F(MainDialogTest, OpensWithTheRecommendedChoice) {
  struct Case {
    std::int32_t processors;
    const char* currentType;
    const char* halText;
    unsigned recommendation;
    int choice;
  } cases[] = {
      // One row for each recommendation; RecommendationTest (tests/hal) holds the rule's rows.
      {2, "Uniprocessor Free", "Uniprocessor HAL", strings::kUpgradeRecommended, IDC_UPGRADE_HAL},
      {1, "Multiprocessor Free", "Multiprocessor HAL", strings::kDowngradeRecommended,
       IDC_DOWNGRADE_HAL},
      {4, "Multiprocessor Free", "Multiprocessor HAL", strings::kCorrectHal, IDC_KEEP_HAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.processors) + " processors, " + c.currentType);
    image.WriteImageFile("registry.reg", CurrentVersionRegistry(c.currentType));
    host = ScriptedDialogHost();
    after.clear();
    ThenApply({});
    Run(c.processors);
    EXPECT_EQ(result, platform::kIdCancel);
    EXPECT_EQ(before.texts[IDC_CURRENT_HAL], c.halText);
    EXPECT_EQ(before.texts[IDC_INSTALLED_PROCESSORS], std::to_string(c.processors));
    EXPECT_EQ(before.texts[IDC_RECOMMENDATION], Text(c.recommendation));
    EXPECT_EQ(before.CheckedHalChoice(), c.choice);
    EXPECT_FALSE(before.checks[IDC_RECOVERY_OPTION]);
    EXPECT_EQ(before.texts[IDC_RECOVERY_STATE], "Not Present");
    EXPECT_EQ(before.texts[IDC_RECOVERY_OPTION], "Enable HAL Recovery boot option");
  }
}

// When the installed HAL and kernel name another kind than CurrentType records, a box says so
// as the dialog opens; the state shown and the recommendation keep to the record.
TEST_F(MainDialogTest, InstalledFilesOfAnotherKindAreReportedWhenItOpens) {
  struct Case {
    const char* hal;
    const char* kernel;
    bool reported;
  } cases[] = {
      {"sp/halmps.dll", "sp/ntkrnlmp.exe", true},
      {"sp/hal.dll", "sp/ntoskrnl.exe", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hal);
    image.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", StandinBytes(c.hal));
    image.WriteDriveFile("C:\\WINNT\\System32\\NTOSKRNL.EXE", StandinBytes(c.kernel));
    host = ScriptedDialogHost();
    ThenApply({});
    Run(2);
    const std::string notice =
        text::FillIn(Text(strings::kRevertedHal), {"halmps.dll", "ntkrnlmp.exe", "Uniprocessor HAL"});
    if (c.reported) {
      ASSERT_EQ(host.boxes.size(), 1u);
      EXPECT_EQ(host.boxes[0].dialogId, IDD_HALSHIFT_DIALOG);
      EXPECT_EQ(host.boxes[0].text, notice);
      EXPECT_EQ(host.boxes[0].caption, "halshift Message");
      EXPECT_EQ(host.boxes[0].style, platform::kMbIconExclamation);
    } else {
      EXPECT_TRUE(host.boxes.empty());
    }
    EXPECT_EQ(before.texts[IDC_CURRENT_HAL], "Uniprocessor HAL");
    EXPECT_EQ(before.CheckedHalChoice(), IDC_UPGRADE_HAL);
  }
}

// When SMBIOS reports more enabled cores than the firmware lists processors, a box says so as
// the dialog opens, before the box about the installed files; the state shown keeps the count.
TEST_F(MainDialogTest, FirmwareThatHidesProcessorsIsReportedWhenItOpens) {
  struct Case {
    std::int32_t processors;
    std::int32_t cores;
    bool reported;
    bool filesDisagree;
  } cases[] = {
      {1, 2, true, false},
      {2, 4, true, true},
      {2, 2, false, false},
      {2, 1, false, true},
      {1, 0, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.processors << " processors, " << c.cores << " cores");
    image.WriteDriveFile("C:\\WINNT\\System32\\HAL.DLL", StandinBytes(c.filesDisagree ? "sp/halmps.dll" : "sp/hal.dll"));
    image.WriteDriveFile("C:\\WINNT\\System32\\NTOSKRNL.EXE", StandinBytes(c.filesDisagree ? "sp/ntkrnlmp.exe" : "sp/ntoskrnl.exe"));
    host = ScriptedDialogHost();
    ThenApply({});
    Run(c.processors, c.cores);
    std::vector<std::string> expected;
    if (c.reported) {
      expected.push_back(text::FillIn(Text(strings::kHiddenProcessors),
                                      {std::to_string(c.cores), std::to_string(c.processors)}));
    }
    if (c.filesDisagree) {
      expected.push_back(text::FillIn(Text(strings::kRevertedHal), {"halmps.dll", "ntkrnlmp.exe", "Uniprocessor HAL"}));
    }
    std::vector<std::string> shown;
    for (const auto& box : host.boxes) {
      shown.push_back(box.text);
      EXPECT_EQ(box.dialogId, IDD_HALSHIFT_DIALOG);
      EXPECT_EQ(box.caption, "halshift Message");
      EXPECT_EQ(box.style, platform::kMbIconExclamation);
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(before.texts[IDC_INSTALLED_PROCESSORS], std::to_string(c.processors));
  }
}

TEST_F(MainDialogTest, InitializationDecoratesTheWindow) {
  std::vector<std::pair<unsigned, std::string>> menu;
  int windowIcon = 0;
  std::vector<std::vector<int>> icons;
  std::vector<int> emphasised;
  host.Then([&](ScriptedDialog& main) {
    menu = main.systemMenuItems;
    windowIcon = main.windowIcon;
    icons = main.controlIcons;
    emphasised = main.emphasised;
    main.Click(IDC_CLOSE);
  });
  Run();
  ASSERT_EQ(menu.size(), 1u);
  EXPECT_EQ(menu[0].first, unsigned{IDM_ABOUTBOX});
  EXPECT_EQ(menu[0].second, "&About halshift...");
  EXPECT_EQ(windowIcon, IDR_MAINFRAME);
  EXPECT_EQ(icons, (std::vector<std::vector<int>>{{IDC_BANNER, IDI_BANNER, 96, 18}}));
  EXPECT_EQ(emphasised,
            (std::vector<int>{IDC_CURRENT_HAL, IDC_INSTALLED_PROCESSORS, IDC_RECOVERY_STATE}));
}

TEST_F(MainDialogTest, RecoveryEntryPresentOffersToDisableIt) {
  std::string bootIni(kSetupBootIni);
  bootIni += "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"[HAL Recovery Mode]\" /ORVRCV=1\r\n";
  WriteLoaderFiles(image, 'C', bootIni);
  ThenApply({});
  Run();
  EXPECT_EQ(before.texts[IDC_RECOVERY_STATE], "Present");
  EXPECT_EQ(before.texts[IDC_RECOVERY_OPTION], "Disable HAL Recovery boot option");
  EXPECT_FALSE(before.checks[IDC_RECOVERY_OPTION]);
}

TEST_F(MainDialogTest, SystemMenuAboutHelpAndClose) {
  bool moveHandled = true;
  Snapshot afterAbout;
  host.Then([&](ScriptedDialog& main) {
    before = Snapshot::Of(main);
    main.SystemCommand(IDM_ABOUTBOX | 0x7);  // the low four bits do not matter
    afterAbout = Snapshot::Of(main);
    moveHandled = dialog->OnSystemCommand(main, 0xF010);  // SC_MOVE: default handling
    main.Click(ID_HELP);
    main.Click(IDC_CLOSE);
  });
  host.ThenPress(IDC_OK);  // the About box
  Run();
  EXPECT_EQ(host.shown, (std::vector<int>{IDD_HALSHIFT_DIALOG, IDD_ABOUTBOX}));
  EXPECT_EQ(afterAbout.texts, before.texts);
  EXPECT_EQ(afterAbout.checks, before.checks);
  EXPECT_FALSE(moveHandled);
  ASSERT_EQ(machine->ui.helpFiles.size(), 1u);
  EXPECT_TRUE(machine->ui.helpFiles[0].ends_with(".HLP")) << machine->ui.helpFiles[0];
  EXPECT_EQ(result, platform::kIdCancel);
}

TEST_F(MainDialogTest, NothingSelectedShowsOnlyTheNotice) {
  ThenApply({{IDC_KEEP_HAL, false}});
  Run();
  EXPECT_EQ(host.shown, std::vector<int>{IDD_HALSHIFT_DIALOG});  // no media prompt
  EXPECT_TRUE(host.boxes.empty());                               // no caution
  ASSERT_EQ(machine->ui.boxes.size(), 1u);
  EXPECT_EQ(SessionBoxes(Text(strings::kNothingSelected)), 1);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(CurrentType(), "Uniprocessor Free");
}

TEST_F(MainDialogTest, CancelledMediaPromptChangesNothing) {
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL", "NTOSKRNL.EXE"});
  ThenApply({{IDC_UPGRADE_HAL, true}});
  host.ThenPress(IDC_CANCEL);
  Run();
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].dialogId, IDD_HALSHIFT_DIALOG);
  EXPECT_EQ(host.boxes[0].text, Text(strings::kMediaCaution));
  EXPECT_EQ(host.boxes[0].caption, "Caution");
  EXPECT_EQ(host.boxes[0].style, platform::kMbIconExclamation);
  EXPECT_EQ(host.shown, (std::vector<int>{IDD_HALSHIFT_DIALOG, IDD_SOURCE_MEDIA}));
  EXPECT_TRUE(machine->ui.boxes.empty());
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(CurrentType(), "Uniprocessor Free");
  EXPECT_EQ(BootIni(), kSetupBootIni);
  EXPECT_EQ(app->installation.sourceDirectory, "");
  EXPECT_TRUE(after[0].checks[IDC_RECOVERY_OPTION]) << "refreshed after a cancel";
}

TEST_F(MainDialogTest, RecoveryOptionEnablesThenDisablesTheEntry) {
  PutOnMedia({"HAL.DLL", "NTOSKRNL.EXE"});
  ThenApply({{IDC_KEEP_HAL, true}, {IDC_KEEP_HAL, true}});
  host.ThenPress(IDC_OK);
  host.ThenPress(IDC_OK);
  Run(1);
  EXPECT_EQ(Log(), Crlf(Text(strings::kEnabled) + Text(strings::kDisabled)));
  // After the first Apply the entry is there and the option offers to remove it, unticked.
  EXPECT_EQ(after[0].texts[IDC_RECOVERY_STATE], "Present");
  EXPECT_EQ(after[0].texts[IDC_RECOVERY_OPTION], Text(strings::kDisableRecoveryOption));
  EXPECT_FALSE(after[0].checks[IDC_RECOVERY_OPTION]);
  EXPECT_EQ(after[1].texts[IDC_RECOVERY_STATE], "Not Present");
  EXPECT_EQ(after[1].texts[IDC_RECOVERY_OPTION], Text(strings::kEnableRecoveryOption));
  EXPECT_EQ(BootIni().find("/ORVRCV=1"), std::string::npos);
  EXPECT_TRUE(image.ReadDriveFile("C:\\WINNT\\System32\\UPHAL.DLL"));
  EXPECT_EQ(app->installation.sourceDirectory, "D:\\I386");
  EXPECT_EQ(SessionBoxes(Text(strings::kInstallationSuccessful)), 2);
}

TEST_F(MainDialogTest, SuccessfulUpgradeIsReadBackFromTheRegistry) {
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL"});
  ThenApply({{IDC_UPGRADE_HAL, false}});
  host.ThenPress(IDC_OK);
  Run(2);
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_EQ(image.ReadDriveFile("C:\\WINNT\\System32\\HAL.DLL"), TaggedImage("HALMPS.DLL"));
  EXPECT_EQ(Log(), Crlf(Text(strings::kUpgraded)));
  EXPECT_EQ(after[0].texts[IDC_CURRENT_HAL], "Multiprocessor HAL");
  EXPECT_EQ(after[0].texts[IDC_RECOMMENDATION], Text(strings::kCorrectHal));
  EXPECT_EQ(after[0].CheckedHalChoice(), IDC_KEEP_HAL);
  ASSERT_FALSE(machine->ui.boxes.empty());
  EXPECT_EQ(machine->ui.boxes.back().text, Text(strings::kInstallationSuccessful));
  EXPECT_TRUE(dialog->operationSucceeded);
}

TEST_F(MainDialogTest, AnUpgradeThatSetupLogCannotFollowWarnsAfterTheSuccess) {
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL"});
  const std::string setupLog = "[Files.WinNt]\r\n\\WINNT\\system32\\hal.dll = \"hal.dll\",\"f63b\"\r\n";
  image.WriteDriveFile("C:\\WINNT\\repair\\setup.log", setupLog);
  MarkInUse(image, "C:\\WINNT\\repair\\setup.log");
  ThenApply({{IDC_UPGRADE_HAL, false}});
  host.ThenPress(IDC_OK);
  Run(2);
  const std::string warning =
      text::FillIn(Text(strings::kSetupLogNotUpdated), {"C:\\WINNT\\repair\\setup.log"});
  EXPECT_EQ(Log(), Crlf(Text(strings::kUpgraded) + warning + "\n"));
  EXPECT_EQ(SessionBoxes(warning), 1);
  EXPECT_EQ(machine->ui.boxes.back().text, Text(strings::kInstallationSuccessful));
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_EQ(image.ReadDriveFile("C:\\WINNT\\repair\\setup.log"), setupLog);
}

TEST_F(MainDialogTest, FailedRecoveryAnsweredNoStopsTheApply) {
  // The media lacks NTOSKRNL.EXE, so the recovery copies cannot be made; the upgrade could.
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL"});
  ThenApply({{IDC_UPGRADE_HAL, false}, {IDC_DOWNGRADE_HAL, true}});
  host.ThenPress(IDC_OK);
  host.ThenPress(IDC_OK);
  host.boxAnswers = {platform::kIdOk, platform::kIdOk, platform::kIdNo};
  Run(2);
  const std::string failure = Text(strings::kEnableFailed) + Text(strings::kCopyError);
  ASSERT_EQ(host.boxes.size(), 3u);
  EXPECT_EQ(host.boxes[2].text, failure + "\nWould like to continue with the next operation");
  EXPECT_EQ(host.boxes[2].caption, "halshift Message");
  EXPECT_EQ(host.boxes[2].style, platform::kMbYesNo | platform::kMbIconInformation);
  EXPECT_EQ(Log(), Crlf(Text(strings::kUpgraded) + failure + "\n"));
  EXPECT_EQ(CurrentType(), "Multiprocessor Free") << "the downgrade ran after No";
  // No refresh: the user's marks stay as they were.
  EXPECT_TRUE(after[1].checks[IDC_RECOVERY_OPTION]);
  EXPECT_EQ(after[1].CheckedHalChoice(), IDC_DOWNGRADE_HAL);
  EXPECT_EQ(SessionBoxes(Text(strings::kInstallationSuccessful)), 1) << "126 after No";
}

TEST_F(MainDialogTest, FailedRecoveryAnsweredYesGoesOnWithTheHal) {
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL"});
  ThenApply({{IDC_KEEP_HAL, true}, {IDC_UPGRADE_HAL, true}});
  host.ThenPress(IDC_OK);
  host.ThenPress(IDC_OK);
  Run(2);
  const std::string failure = Text(strings::kEnableFailed) + Text(strings::kCopyError);
  EXPECT_EQ(Log(), Crlf(failure + "\n" + failure + "\n" + Text(strings::kUpgraded)));
  // First Apply: refreshed although nothing succeeded, and without the final notice then.
  EXPECT_FALSE(after[0].checks[IDC_RECOVERY_OPTION]);
  EXPECT_EQ(after[0].CheckedHalChoice(), IDC_UPGRADE_HAL);
  EXPECT_EQ(after[1].texts[IDC_CURRENT_HAL], "Multiprocessor HAL");
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
  EXPECT_EQ(SessionBoxes(Text(strings::kInstallationSuccessful)), 1);
  EXPECT_EQ(machine->ui.boxes.back().text, Text(strings::kInstallationSuccessful));
}

TEST_F(MainDialogTest, SecondApplyFailsYetEndsWithTheNotice) {
  // The upgrade works; the downgrade lacks NTOSKRNL.EXE on the media.
  PutMultiprocessorSetOnMedia();
  PutOnMedia({"HAL.DLL"});
  ThenApply({{IDC_UPGRADE_HAL, false}, {IDC_DOWNGRADE_HAL, false}});
  host.ThenPress(IDC_OK);
  host.ThenPress(IDC_OK);
  Run(2);
  const std::string failure = Text(strings::kDowngradeFailed) + Text(strings::kCopyError);
  EXPECT_EQ(Log(), Crlf(Text(strings::kUpgraded) + failure + "\n"));
  EXPECT_EQ(SessionBoxes(failure), 1);
  EXPECT_EQ(SessionBoxes(Text(strings::kInstallationSuccessful)), 2);
  EXPECT_EQ(machine->ui.boxes.back().text, Text(strings::kInstallationSuccessful));
  EXPECT_EQ(CurrentType(), "Multiprocessor Free");
}

// A user interface that hands out the scripted host, for a whole interactive start-up.
class DialogUserInterface : public RecordingUserInterface {
 public:
  explicit DialogUserInterface(platform::DialogHost& host) : host_(host) {}
  platform::DialogHost* Dialogs() override { return &host_; }

 private:
  platform::DialogHost& host_;
};

TEST_F(MainDialogTest, InteractiveStartupShowsTheDialogAndEndsWithOne) {
  machine = OpenMachine(image);
  ASSERT_TRUE(machine);
  DialogUserInterface dialogs(host);
  platform::Platform platform = machine->Platform();
  platform::Platform withDialogs{platform.system, platform.registry, platform.files,
                                 platform.memory, platform.links,    dialogs,
                                 platform.out,    platform.clock};
  HalUtilityApp session(withDialogs, ui::RunHalUtilityDialog);
  ThenApply({});
  EXPECT_FALSE(session.Startup(""));
  EXPECT_EQ(session.Shutdown(), 1);
  EXPECT_EQ(host.shown, std::vector<int>{IDD_HALSHIFT_DIALOG});
  const std::string log = image.ReadDriveFile("C:\\ORVSYSTEM\\log\\halshift.log").value_or("");
  EXPECT_NE(log.find("Interactive session beginning..."), std::string::npos) << log;
}

}  // namespace
}  // namespace halshift::testing
