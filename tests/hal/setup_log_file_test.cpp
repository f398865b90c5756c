// Keeping setup.log in step on disk, over the example machine: the lines rewritten behind a
// backup, the attributes kept, what is left alone, and setup.log as it was whenever a call
// fails.
#include "hal/setup_log_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "inspect/pe_file.h"
#include "tests/support/example_machine.h"
#include "tests/support/image_builder.h"

namespace halshift::hal {
namespace {

using testing::HeaderCheckSum;
using testing::kSetupLog;

constexpr const char* kBackup = "C:\\WINNT\\repair\\setup.orv";
constexpr const char* kHal = "C:\\WINNT\\System32\\HAL.DLL";
constexpr std::uint32_t kReadOnlyHiddenSystem = platform::kFileAttributeReadOnly |
                                                platform::kFileAttributeHidden |
                                                platform::kFileAttributeSystem;


class SetupLogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::CopyExample(image_, "smp-uniprocessor-hal");
    original_ = image_.ReadDriveFile(kSetupLog).value_or("");
    ASSERT_FALSE(original_.empty());
    image_.SetDriveFileAttributes(kSetupLog, kReadOnlyHiddenSystem);
    hal_ = image_.ReadDriveFile(kHal).value_or("");
  }

  // A completed change that installed the HAL in place as HALAPIC.DLL of the media.
  IntentRecord Record() const {
    IntentRecord record;
    record.setupLogPath = kSetupLog;
    record.systemRoot = "C:\\WINNT";
    record.files.push_back({"C:\\WINNT\\System32\\hsn0001.TMP", kHal, "", 0, hal_.size(),
                            ContentHash(hal_), "HALAPIC.DLL"});
    return record;
  }

  // The original with the HAL's line naming halapic.dll and the HAL's checksum.
  std::string Rewritten() const {
    const std::string line = "\\WINNT\\system32\\hal.dll = \"hal.dll\",\"";
    std::string text = original_;
    const auto at = text.find(line);
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos) return text;
    const auto end = text.find("\r\n", at);
    return text.replace(at, end - at,
                        "\\WINNT\\system32\\hal.dll = \"halapic.dll\",\"" + HeaderCheckSum(hal_) + "\"");
  }

  SetupLogUpdate Update(const IntentRecord& record) {
    auto machine = testing::OpenMachine(image_);
    if (!machine) return SetupLogUpdate::kFailed;
    return UpdateSetupLog(machine->Platform().files, record);
  }

  std::vector<std::string> RepairFolder() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(image_.DrivePath("C:\\WINNT\\repair"))) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempImage image_;
  std::string original_;
  std::string hal_;
};

TEST_F(SetupLogFileTest, RewritesTheLinesBehindABackupAndKeepsTheAttributes) {
  EXPECT_EQ(Update(Record()), SetupLogUpdate::kUpdated);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), Rewritten());
  EXPECT_EQ(image_.DriveFileAttributes(kSetupLog), kReadOnlyHiddenSystem);
  EXPECT_EQ(image_.ReadDriveFile(kBackup), original_);
  EXPECT_EQ(image_.DriveFileAttributes(kBackup), kReadOnlyHiddenSystem);
  EXPECT_EQ(RepairFolder(), (std::vector<std::string>{"setup.log", "setup.orv"}));

  // A second rewrite finds the line as asked: nothing is written, the backup keeps the file
  // from before the first.
  image_.SetDriveFileAttributes(kBackup, platform::kFileAttributeNormal);
  image_.WriteDriveFile(kBackup, "the backup of the first rewrite");
  EXPECT_EQ(Update(Record()), SetupLogUpdate::kUnchanged);
  EXPECT_EQ(image_.ReadDriveFile(kSetupLog), Rewritten());
  EXPECT_EQ(image_.ReadDriveFile(kBackup), "the backup of the first rewrite");
}

TEST_F(SetupLogFileTest, LeavesAloneWhatItHasNoLineFor) {
  struct Case {
    const char* name;
    std::function<void(testing::TempImage&, IntentRecord&)> prepare;
    SetupLogUpdate expected;
    bool setupLogExists;
  };
  const std::string withoutHal = [&] {
    std::string text = original_;
    const auto at = text.find("\\WINNT\\system32\\hal.dll");
    return text.erase(at, text.find("\r\n", at) + 2 - at);
  }();
  const Case cases[] = {
      {"no setup.log",
       [](testing::TempImage& image, IntentRecord&) {
         std::filesystem::remove(image.DrivePath(kSetupLog));
       },
       SetupLogUpdate::kUnchanged, false},
      {"no line for the file",
       [&](testing::TempImage& image, IntentRecord&) {
         image.SetDriveFileAttributes(kSetupLog, platform::kFileAttributeNormal);
         image.WriteDriveFile(kSetupLog, withoutHal);
       },
       SetupLogUpdate::kUnchanged, true},
      {"a record that names no setup.log",
       [](testing::TempImage&, IntentRecord& record) { record.setupLogPath.clear(); },
       SetupLogUpdate::kUnchanged, true},
      {"a destination without the file the record describes",
       [](testing::TempImage& image, IntentRecord&) { image.WriteDriveFile(kHal, "another HAL"); },
       SetupLogUpdate::kFailed, true},
      {"setup.log held by the running system",
       [](testing::TempImage& image, IntentRecord&) {
         const std::string ini = image.ReadImageFile("machine.ini").value_or("");
         image.WriteImageFile("machine.ini", ini + "C:\\WINNT\\repair\\setup.log=\r\n");
       },
       SetupLogUpdate::kFailed, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempImage image;
    testing::CopyExample(image, "smp-uniprocessor-hal");
    IntentRecord record = Record();
    c.prepare(image, record);
    const std::optional<std::string> before = image.ReadDriveFile(kSetupLog);
    const std::uint32_t attributes = image.DriveFileAttributes(kSetupLog);
    auto machine = testing::OpenMachine(image);
    ASSERT_TRUE(machine);
    EXPECT_EQ(UpdateSetupLog(machine->Platform().files, record), c.expected);
    EXPECT_EQ(image.ReadDriveFile(kSetupLog), before);
    EXPECT_EQ(before.has_value(), c.setupLogExists);
    EXPECT_EQ(image.DriveFileAttributes(kSetupLog), attributes);
    for (const auto& entry :
         std::filesystem::directory_iterator(image.DrivePath("C:\\WINNT\\repair"))) {
      EXPECT_EQ(text::ToUpper(entry.path().filename().string()).rfind("SLT", 0), std::string::npos)
          << entry.path();
    }
  }
}

// Each call that can change the disk fails in turn: setup.log is then as it was, attributes
// included, and no temporary file is left; the backup, when there is one, holds it.
TEST_F(SetupLogFileTest, AFailedCallLeavesSetupLogAsItWas) {
  int failed = 0;
  for (const image::CallInfo& info : image::kCalls) {
    if (!info.changesMachine) continue;
    for (int nth = 1; nth <= 4; ++nth) {
      SCOPED_TRACE(std::string(info.name) + " call " + std::to_string(nth));
      testing::TempImage copy;
      testing::CopyExample(copy, "smp-uniprocessor-hal");
      copy.SetDriveFileAttributes(kSetupLog, kReadOnlyHiddenSystem);
      auto machine = testing::OpenMachine(copy);
      ASSERT_TRUE(machine);
      machine->image->Faults().FailCall(info.call, nth);
      const SetupLogUpdate update = UpdateSetupLog(machine->Platform().files, Record());
      if (machine->image->Faults().FailuresInjected() == 0) {
        EXPECT_EQ(update, SetupLogUpdate::kUpdated);
        continue;
      }
      // The attributes of the backup and of setup.log are given back without being asked
      // whether that worked; every other call decides.
      if (update == SetupLogUpdate::kUpdated) {
        EXPECT_EQ(copy.ReadDriveFile(kSetupLog), Rewritten());
        continue;
      }
      ++failed;
      EXPECT_EQ(update, SetupLogUpdate::kFailed);
      EXPECT_EQ(copy.ReadDriveFile(kSetupLog), original_);
      EXPECT_EQ(copy.DriveFileAttributes(kSetupLog), kReadOnlyHiddenSystem);
      const std::optional<std::string> backup = copy.ReadDriveFile(kBackup);
      if (backup) {
        EXPECT_EQ(*backup, original_);
      }
      for (const auto& entry :
           std::filesystem::directory_iterator(copy.DrivePath("C:\\WINNT\\repair"))) {
        const std::string name = text::ToUpper(entry.path().filename().string());
        EXPECT_TRUE(name == "SETUP.LOG" || name == "SETUP.ORV") << name;
      }
    }
  }
  EXPECT_GT(failed, 8);
}

TEST(SetupLogPathTest, IsInTheRepairFolderOfTheSystemRoot) {
  EXPECT_EQ(SetupLogPath("C:\\WINNT"), "C:\\WINNT\\repair\\setup.log");
  EXPECT_EQ(SetupLogPath("D:\\NT40"), "D:\\NT40\\repair\\setup.log");
}

}  // namespace
}  // namespace halshift::hal
