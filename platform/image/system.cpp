// SystemInfo of the machine image: version, rights and system facts from machine.ini.
#include "platform/image/image_state.h"

namespace halshift::image {

std::uint32_t ImageSystem::GetVersion() {
  if (state_.faults.ShouldFail(Call::kGetVersion)) return 0;
  std::uint32_t version = state_.versionMajor | (state_.versionMinor << 8) | (state_.build << 16);
  if (state_.windowsPlatform) version |= 0x80000000u;
  return version;
}

bool ImageSystem::OpenServiceControlManager() {
  if (state_.faults.ShouldFail(Call::kOpenServiceControlManager)) return false;
  return state_.administrator;
}

std::string ImageSystem::GetSystemDirectory() {
  if (state_.faults.ShouldFail(Call::kGetSystemDirectory)) return {};
  return state_.systemDirectory;
}


// The program is taken to live in \halshift on the system drive; an image holds no program
// file, so this is only where the help file is looked for.
std::string ImageSystem::GetModuleFileName() {
  if (state_.faults.ShouldFail(Call::kGetModuleFileName)) return {};
  return std::string(1, state_.systemDrive) + ":\\halshift\\halshift.exe";
}

}  // namespace halshift::image
