// The system survey: service pack, CD-ROM drive, and the processors and APIC flag of whole
// machine images with memory region files, also through a silent run of the program.
#include "inspect/survey.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>

#include "core/state.h"
#include "core/strings.h"
#include "tests/inspect/firmware_images.h"
#include "tests/support/image_builder.h"
#include "tests/support/machine_files.h"

namespace halshift::inspect {
namespace {

using testing::Bytes;
using testing::Concat;
using testing::Place;
using testing::Text;

// A registry with one value, as the platform's contract describes it: a value larger than
// the buffer reports ERROR_MORE_DATA and leaves garbage behind.
class OneValueRegistry : public platform::Registry {
 public:
  QueryResult QueryValue(std::string_view keyPath, std::string_view valueName,
                         std::span<std::uint8_t> buffer) override {
    asked.emplace_back(std::string(keyPath) + "|" + std::string(valueName));
    bufferSize = buffer.size();
    if (!value) return {platform::kErrorFileNotFound, 0, 0};
    if (value->size() > buffer.size()) {
      std::fill(buffer.begin(), buffer.end(), 0xCD);
      return {platform::kErrorMoreData, type, value->size()};
    }
    std::copy(value->begin(), value->end(), buffer.begin());
    return {platform::kErrorSuccess, type, value->size()};
  }
  long SetValue(std::string_view, std::string_view, std::uint32_t, std::span<const std::uint8_t>) override {
    ADD_FAILURE() << "the survey writes nothing";
    return platform::kErrorAccessDenied;
  }

  std::optional<Bytes> value;
  std::uint32_t type = platform::kRegDword;
  std::vector<std::string> asked;
  std::size_t bufferSize = 0;
};

TEST(ServicePackTest, CsdVersionDividedBy255) {
  struct Case {
    const char* name;
    std::optional<Bytes> value;
    std::uint32_t type;
    std::int32_t servicePack;
  };
  const std::vector<Case> cases = {
      {"Missing", std::nullopt, platform::kRegDword, 0},
      {"ServicePack1", Bytes{0x00, 0x01, 0, 0}, platform::kRegDword, 1},
      {"ServicePack3", Bytes{0x00, 0x03, 0, 0}, platform::kRegDword, 3},
      {"ServicePack6", Bytes{0x00, 0x06, 0, 0}, platform::kRegDword, 6},
      // 0x00FF is one service pack by the division; 0x01FE is two, not one.
      {"LowByteOnly", Bytes{0xFF, 0x00, 0, 0}, platform::kRegDword, 1},
      {"DividedBy255Not256", Bytes{0xFE, 0x01, 0, 0}, platform::kRegDword, 2},
      // Unsigned: all bits set is 16843009, not a negative number divided.
      {"AllBitsSet", Bytes{0xFF, 0xFF, 0xFF, 0xFF}, platform::kRegDword, 16843009},
      // The type is not checked; a shorter value leaves the upper bytes 0.
      {"TwoByteBinary", Bytes{0x00, 0x02}, platform::kRegBinary, 2},
      {"TooLongToRead", Text("Service Pack 6"), platform::kRegSz, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneValueRegistry registry;
    registry.value = c.value;
    registry.type = c.type;
    EXPECT_EQ(ReadServicePack(registry), c.servicePack);
    EXPECT_EQ(registry.asked, std::vector<std::string>{"System\\CurrentControlSet\\Control\\Windows|CSDVersion"});
    EXPECT_EQ(registry.bufferSize, 4u);
  }
}

// A machine image with the given drives section and registry, optionally memory regions.
class SurveyImageTest : public ::testing::Test {
 protected:
  void WriteMachine(const std::string& drives, std::vector<std::string> windowsValues = {}) {
    image_.WriteImageFile("machine.ini",
                          testing::IniText({{"System", testing::Nt4SystemLines()}, {"Drives", {}}}) + drives);
    image_.MakeDriveDirectory("C:\\WINNT\\System32");
    if (!windowsValues.empty()) {
      image_.WriteImageFile("registry.reg",
                            testing::RegistryFileText({{testing::kWindowsControlKey, windowsValues}}));
    }
  }
  void WriteRegion(std::uint32_t address, const Bytes& bytes) {
    std::ostringstream name;
    name << "memory/" << std::uppercase << std::hex << std::setw(8) << std::setfill('0') << address << ".bin";
    image_.WriteImageFile(name.str(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::unique_ptr<SystemSurvey> Survey() {
    machine_ = testing::OpenMachine(image_);
    if (!machine_) return nullptr;
    auto survey = std::make_unique<SystemSurvey>(RunSystemSurvey(machine_->Platform()));
    return survey;
  }

  testing::TempImage image_;
  std::unique_ptr<testing::OpenedMachine> machine_;
};

TEST_F(SurveyImageTest, FirstCdromDrive) {
  struct Case {
    const char* name;
    const char* drives;
    const char* cdrom;
  };
  const std::vector<Case> cases = {
      {"None", "A=removable\r\nC=fixed\r\nD=remote\r\n", ""},
      {"EAndG", "C=fixed\r\nG=cdrom\r\nE=cdrom\r\nF=ramdisk\r\n", "E:"},
      {"DriveA", "A=cdrom\r\nC=fixed\r\n", "A:"},
      {"DriveZ", "C=fixed\r\nZ=cdrom\r\n", "Z:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteMachine(c.drives);
    const auto survey = Survey();
    ASSERT_TRUE(survey);
    EXPECT_EQ(survey->cdromDrive, c.cdrom);
  }
}

// The BIOS area of a machine with an SMBIOS table of four populated sockets out of five,
// the table itself in low memory at an address that is not page-aligned.
constexpr std::uint32_t kTableAddress = 0x7A13;

Bytes SmbiosBiosArea(std::size_t tableLength) {
  Bytes area(0x10000, 0);
  Place(area, 0x5A0, testing::SmbiosEntryPoint({.major = 2, .minor = 3,
                                                .tableLength = static_cast<std::uint16_t>(tableLength),
                                                .tableAddress = kTableAddress, .structureCount = 6}));
  return area;
}

Bytes FourOfFiveTable() {
  return Concat({testing::SmbiosStructure(0, {1, 2}, {"Vendor", "1.0"}), testing::SmbiosProcessor(0x41),
                 testing::SmbiosProcessor(0x41), testing::SmbiosProcessor(0x00), testing::SmbiosProcessor(0x43),
                 testing::SmbiosProcessor(0x42)});
}

TEST_F(SurveyImageTest, SmbiosMachineWithMpPointerInTheEbda) {
  WriteMachine("C=fixed\r\nD=cdrom\r\n", {"\"CSDVersion\"=dword:00000600"});
  const Bytes table = FourOfFiveTable();
  WriteRegion(0xF0000, SmbiosBiosArea(table.size()));
  Bytes low(0xA0000, 0);
  low[0x40E] = 0xC0;  // EBDA segment 0x9FC0
  low[0x40F] = 0x9F;
  Place(low, 0x9FC00 + 0x100, testing::MpPointer());
  Place(low, kTableAddress, table);
  WriteRegion(0, low);

  const auto survey = Survey();
  ASSERT_TRUE(survey);
  EXPECT_EQ(survey->installedProcessors, 4);
  EXPECT_TRUE(survey->apicPresent);
  EXPECT_EQ(survey->servicePack, 6);
  EXPECT_EQ(survey->cdromDrive, "D:");
}

// One raw dump of the first MiB holds everything: the "!SIT" table wins over SMBIOS.
TEST_F(SurveyImageTest, RawDumpWithBothTables) {
  WriteMachine("C=fixed\r\n");
  const Bytes table = FourOfFiveTable();
  Bytes dump(0x100000, 0);
  Place(dump, 0xF0000, SmbiosBiosArea(table.size()));
  Place(dump, kTableAddress, table);
  Place(dump, 0xFA000, Concat({Text("!sit"), testing::SitProcessorRecord(0b111),
                               testing::SitRecord(192, {1}), testing::SitRecord(0, {})}));
  WriteRegion(0, dump);

  const auto survey = Survey();
  ASSERT_TRUE(survey);
  EXPECT_EQ(survey->installedProcessors, 3);
  EXPECT_TRUE(survey->apicPresent);
  EXPECT_EQ(survey->servicePack, 0);
  EXPECT_EQ(survey->cdromDrive, "");
}

TEST_F(SurveyImageTest, NoMemoryNoRegistryValue) {
  WriteMachine("C=fixed\r\nD=cdrom\r\n");
  const auto survey = Survey();
  ASSERT_TRUE(survey);
  EXPECT_EQ(survey->installedProcessors, 0);
  EXPECT_EQ(survey->apicPresent, 0u);
  EXPECT_EQ(survey->servicePack, 0);
}

// The whole program: a silent run on a two-processor machine logs the count found.
// What the real machines' dumps give is FirmwareDumpsTest's; their counts and the notice in
// the log, CommandLineTest's.
TEST_F(SurveyImageTest, FirmwareHidesProcessorsOnlyWithMoreCores) {
  struct Case {
    std::int32_t processors;
    std::int32_t cores;
    bool hides;
  };
  const Case cases[] = {{1, 2, true}, {2, 4, true}, {2, 2, false}, {4, 2, false}, {1, 0, false}, {0, 0, false}};
  WriteMachine("C=fixed\r\n");
  machine_ = testing::OpenMachine(image_);
  ASSERT_TRUE(machine_);
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.processors << " processors, " << c.cores << " cores");
    SystemSurvey survey;
    survey.installedProcessors = c.processors;
    survey.smbiosEnabledCores = c.cores;
    EXPECT_EQ(FirmwareHidesProcessors(survey), c.hides);
  }
}

}  // namespace
}  // namespace halshift::inspect
