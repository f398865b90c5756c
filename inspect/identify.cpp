// HAL identification: the HAL kind, the recovery entry and the system directory.
#include "inspect/identify.h"

#include <array>
#include <span>

#include "core/registry_values.h"
#include "base/text.h"
#include "base/winpath.h"
#include "inspect/recovery_detect.h"
#include "inspect/pe_file.h"
#include "core/system_files.h"

namespace halshift::inspect {
namespace {

struct NamedKind {
  std::string_view originalFilename;
  HalKind kind;
};

constexpr std::array<NamedKind, 5> kNamedKinds = {{
    {"hal.dll", HalKind::kUniprocessor},
    {"halapic.dll", HalKind::kUniprocessor},
    {"ntoskrnl.exe", HalKind::kUniprocessor},
    {"halmps.dll", HalKind::kMultiprocessor},
    {"ntkrnlmp.exe", HalKind::kMultiprocessor},
}};

// The OriginalFilename of an installed file; empty when it cannot be read.
std::string OriginalFilenameOf(platform::FileSystem& files, std::string_view path) {
  const std::optional<std::string> bytes = files.ReadFile(path);
  if (!bytes) return {};
  const pe::VersionResource resource = pe::ReadVersionResource(
      {reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size()});
  return resource.originalFilename.value_or("");
}

bool Disagrees(std::string_view fileName, HalKind recorded) {
  const HalKind named = HalKindOfFileName(fileName);
  return named != HalKind::kNotIdentified && named != recorded;
}

}  // namespace

HalKind HalKindOfFileName(std::string_view originalFilename) {
  for (const NamedKind& named : kNamedKinds) {
    if (text::EqualsIgnoreCase(originalFilename, named.originalFilename)) return named.kind;
  }
  return HalKind::kNotIdentified;
}

bool InstalledFilesDisagree(const HalInstallation& installation) {
  return Disagrees(installation.halFileName, installation.halKind) ||
         Disagrees(installation.kernelFileName, installation.halKind);
}

HalKind HalKindOf(std::string_view currentType) {
  return currentType == registry_values::kUniprocessorType ? HalKind::kUniprocessor
                                                   : HalKind::kMultiprocessor;
}

void IdentifyHal(platform::Platform& machine, HalInstallation& installation) {
  installation.halKind = HalKindOf(registry_values::ReadCurrentType(machine.registry));
  installation.recoveryPresent = bootmenu::IsRecoveryEntryPresent(machine);
  installation.systemDirectory = registry_values::ReadSystemDirectory(machine.registry);
  // The files say which kind is installed; CurrentType keeps the meaning of the HAL kind.
  installation.halFileName = OriginalFilenameOf(
      machine.files, winpath::JoinUnchecked(installation.systemDirectory, SystemFileNames[0]));
  installation.kernelFileName = OriginalFilenameOf(
      machine.files, winpath::JoinUnchecked(installation.systemDirectory, SystemFileNames[1]));
}

}  // namespace halshift::inspect
