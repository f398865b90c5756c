// The source media prompt: its text, its proposal, Browse, and the validation loop over the
// files of a machine image's CD-ROM drive.
#include "ui/media_prompt.h"

#include <gtest/gtest.h>

#include "base/winpath.h"
#include "tests/support/image_builder.h"
#include "tests/ui/scripted_dialogs.h"
#include "ui/resource.h"

namespace halshift::testing {
namespace {

TEST(DirectoryOf, CutsAtTheLastBackslash) {
  struct Case {
    const char* path;
    const char* directory;
  } cases[] = {
      {"D:\\I386\\HAL.DLL", "D:\\I386"},
      {"D:\\NT4SP6\\I386\\HAL.DL_", "D:\\NT4SP6\\I386"},
      {"D:\\HAL.DLL", "D:"},
      {"D:\\I386\\", "D:\\I386"},
      {"HAL.DLL", ""},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(winpath::DirectoryOf(c.path), c.directory) << c.path;
}

// The prompt depends only on the survey; no scene does more than press a button.
TEST(SourceMediaDialog, PromptNamesTheDiscAndTheDrive) {
  struct Case {
    std::int32_t servicePack;
    const char* cdromDrive;
    const char* prompt;
    const char* proposal;
  } cases[] = {
      {0, "E:", "Please Insert the CD-ROM disc labled\n\"Windows NT Server\"\n into Drive E:",
       "E:\\I386\\HAL.DLL"},
      {1, "E:", "Please Insert the CD-ROM disc labled\n\"Windows NT Server\"\n into Drive E:",
       "E:\\I386\\HAL.DLL"},
      {2, "F:",
       "Please Insert the CD-ROM disc labled\n\"Windows NT Service Pack 2\"\n into Drive F:",
       "F:\\I386\\HAL.DLL"},
      {6, "", "Please Insert the CD-ROM disc labled\n\"Windows NT Service Pack 6\"\n into Drive D:",
       "D:\\I386\\HAL.DLL"},
      {0, "", "Please Insert the CD-ROM disc labled\n\"Windows NT Server\"\n into Drive D:",
       "D:\\I386\\HAL.DLL"},
  };
  for (const Case& c : cases) {
    TempImage image;
    image.WriteMinimalMachine();
    auto machine = OpenMachine(image);
    ASSERT_TRUE(machine);
    SystemSurvey survey;
    survey.servicePack = c.servicePack;
    survey.cdromDrive = c.cdromDrive;
    ScriptedDialogHost host;
    host.ThenPress(IDC_CANCEL);
    EXPECT_FALSE(ui::ChooseSourceDirectory(host, machine->Platform().ui, survey, machine->Platform().files));
    ASSERT_EQ(host.promptTexts.size(), 1u);
    EXPECT_EQ(host.promptTexts[0], c.prompt) << "service pack " << c.servicePack;
    EXPECT_EQ(host.proposedLocations[0], c.proposal);
    EXPECT_EQ(host.shown, std::vector<int>{IDD_SOURCE_MEDIA});
  }
}

class MediaPromptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image.WriteMinimalMachine();
    image.MakeDriveDirectory("D:\\I386");
  }
  std::optional<std::string> Choose() {
    machine = OpenMachine(image);
    if (!machine) return std::nullopt;
    SystemSurvey survey;
    survey.cdromDrive = "D:";
    survey.servicePack = 6;
    return ui::ChooseSourceDirectory(host, machine->Platform().ui, survey, machine->Platform().files);
  }
  void ThenType(std::string location) {
    host.Then([location](ScriptedDialog& dialog) {
      dialog.Type(IDC_FILE_LOCATION, location);
      dialog.Click(IDC_OK);
    });
  }

  TempImage image;
  std::unique_ptr<OpenedMachine> machine;
  ScriptedDialogHost host;
};

TEST_F(MediaPromptTest, ProposalAcceptedOnADiscWithOnlyTheCompressedHal) {
  image.WriteDriveFile("D:\\I386\\HAL.DL_", "compressed");
  host.ThenPress(IDC_OK);
  EXPECT_EQ(Choose(), "D:\\I386");
}

TEST_F(MediaPromptTest, TypedLocationsThatHoldTheHal) {
  struct Case {
    const char* typed;
    const char* directory;
  } cases[] = {
      {"D:\\I386", "D:\\I386"},            // a directory, no file name
      {"d:\\i386\\hal.dll", "D:\\I386"},   // lower case comes back upper case
      {"d:\\i386", "D:\\I386"},
      {"D:\\I386\\NTOSKRNL.EXE", "D:\\I386"},  // any file in a directory holding the HAL
  };
  image.WriteDriveFile("D:\\I386\\HAL.DLL", "hal");
  image.WriteDriveFile("D:\\I386\\NTOSKRNL.EXE", "kernel");
  for (const Case& c : cases) {
    host = ScriptedDialogHost();
    ThenType(c.typed);
    EXPECT_EQ(Choose(), c.directory) << c.typed;
  }
}

TEST_F(MediaPromptTest, SpareHalIsAcceptedByItsNameAlone) {
  // No hal.dll beside it: the name containing "HAL.DLL" and the file existing are enough.
  image.WriteDriveFile("C:\\SPARE\\UPHAL.DLL", "spare");
  ThenType("C:\\SPARE\\UPHAL.DLL");
  EXPECT_EQ(Choose(), "C:\\SPARE");
}

TEST_F(MediaPromptTest, UnusableLocationsShowThePromptAgain) {
  image.WriteDriveFile("D:\\I386\\HAL.DLL", "hal");
  image.WriteDriveFile("D:\\OTHER\\README.TXT", "no hal here");
  ThenType("");                          // empty box
  ThenType("D:\\MISSING\\HAL.DLL");      // names the HAL, but nothing is there
  ThenType("D:\\OTHER");                 // a directory without the HAL
  ThenType("D:\\OTHER\\README.TXT");     // a file in such a directory
  ThenType("Q:\\");                      // a drive that does not exist
  host.ThenPress(IDC_OK);                // the proposal, which is right
  EXPECT_EQ(Choose(), "D:\\I386");
  ASSERT_EQ(host.shown.size(), 6u);
  // Every showing proposes the drive's HAL again, whatever was typed before.
  for (const std::string& proposal : host.proposedLocations) {
    EXPECT_EQ(proposal, "D:\\I386\\HAL.DLL");
  }
  EXPECT_TRUE(host.boxes.empty()) << "the prompt reappears without a message";
}

TEST_F(MediaPromptTest, CancelAfterAFailedLocationReturnsNothing) {
  ThenType("D:\\NOWHERE");
  host.ThenPress(IDC_CANCEL);
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_EQ(host.shown.size(), 2u);
}

TEST_F(MediaPromptTest, PromptThatCannotBeShownEndsTheLoop) {
  host.expectFailure = true;  // no scene: every RunModal answers platform::kDialogFailed
  EXPECT_EQ(Choose(), std::nullopt);
  EXPECT_EQ(host.shown.size(), 1u) << "asked again after the dialog could not be shown";
}

TEST_F(MediaPromptTest, BrowseChoosesAFileAndOkTakesIt) {
  image.WriteDriveFile("D:\\I386\\HAL.DLL", "hal");
  image.WriteDriveFile("D:\\I386\\HALMPS.DLL", "mp hal");
  host.fileAnswers.push_back("D:\\I386\\HALMPS.DLL");
  std::string shownAfterBrowse;
  host.Then([&shownAfterBrowse](ScriptedDialog& dialog) {
    dialog.Click(IDC_BROWSE);
    shownAfterBrowse = dialog.GetText(IDC_FILE_LOCATION);
    dialog.Click(IDC_OK);
  });
  EXPECT_EQ(Choose(), "D:\\I386");
  EXPECT_EQ(shownAfterBrowse, "D:\\I386\\HALMPS.DLL");
  ASSERT_EQ(host.fileRequests.size(), 1u);
  EXPECT_EQ(host.fileRequests[0].title, "Browse");
  EXPECT_EQ(host.fileRequests[0].initialName, "Hal.dll");
  EXPECT_EQ(host.fileRequests[0].flags, platform::kOfnHideReadOnly);
  using Filter = std::pair<std::string, std::string>;
  EXPECT_EQ(host.fileRequests[0].filters,
            (std::vector<Filter>{{"NT Hal (HAL*.DLL)", "HAL*.DLL"}, {"All files (*.*)", "*.*"}}));
  EXPECT_EQ(host.fileRequestFilters[0], "NT Hal (HAL*.DLL)|HAL*.DLL;All files (*.*)|*.*;");
}

TEST_F(MediaPromptTest, TypingAfterBrowseWinsAndCancelledBrowseChangesNothing) {
  image.WriteDriveFile("D:\\NT4SP6\\I386\\HAL.DLL", "hal");
  host.fileAnswers.push_back("D:\\ELSEWHERE\\HAL.DLL");
  host.fileAnswers.push_back(std::nullopt);  // the second Browse is cancelled
  std::string afterCancelledBrowse;
  host.Then([&afterCancelledBrowse](ScriptedDialog& dialog) {
    dialog.Click(IDC_BROWSE);
    dialog.Type(IDC_FILE_LOCATION, "D:\\NT4SP6\\I386");
    dialog.Click(IDC_BROWSE);
    afterCancelledBrowse = dialog.GetText(IDC_FILE_LOCATION);
    dialog.Click(IDC_OK);
  });
  EXPECT_EQ(Choose(), "D:\\NT4SP6\\I386");
  EXPECT_EQ(afterCancelledBrowse, "D:\\NT4SP6\\I386");
}

}  // namespace
}  // namespace halshift::testing
