// The system survey: processors and APIC flag from the firmware, service pack, CD-ROM drive.
#include "inspect/survey.h"

#include <array>

#include "base/byte_cursor.h"
#include "inspect/firmware.h"

namespace halshift::inspect {

std::int32_t ReadServicePack(platform::Registry& registry) {
  std::array<std::uint8_t, 4> value{};
  const auto result = registry.QueryValue(kWindowsControlKey, kCsdVersionValue, value);
  // The value's type is not checked. A value too large for the four bytes was not read, and
  // what the buffer then holds is undefined, so it counts as missing.
  if (result.status != platform::kErrorSuccess) return 0;
  const std::uint32_t csdVersion = ByteCursor(value).U32();
  // Division by 255, not 256, as the program has always done it: for the values service
  // packs write (0x0100 to 0x0600) the result is the number in the second byte.
  return static_cast<std::int32_t>(csdVersion / 255u);
}

std::string FindCdromDrive(platform::FileSystem& files) {
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string root{letter, ':', '\\'};
    if (files.GetDriveType(root) == platform::kDriveCdrom) return std::string{letter, ':'};
  }
  return {};
}

SystemSurvey RunSystemSurvey(platform::Platform& machine) {
  const FirmwareProcessorInfo firmware = ReadFirmwareProcessorInfo(machine.memory);
  SystemSurvey survey;
  survey.installedProcessors = firmware.installedProcessors;
  survey.smbiosEnabledCores = firmware.smbiosEnabledCores;
  survey.apicPresent = firmware.apicPresent;
  survey.servicePack = ReadServicePack(machine.registry);
  survey.cdromDrive = FindCdromDrive(machine.files);
  return survey;
}

bool FirmwareHidesProcessors(const SystemSurvey& survey) {
  return survey.smbiosEnabledCores > survey.installedProcessors;
}

}  // namespace halshift::inspect
