// String resource ids of halshift, and the built-in copy of the table for platforms without
// resources.
#pragma once

#include <string>
#include <string_view>

#include "core/state.h"

namespace halshift::strings {

enum : unsigned {
  kAboutMenu = 101,
  kDowngradeRecommended = 102,
  kDowngradeChoice = 103,
  kMediaCaution = 104,
  kCorrectHal = 105,
  kDisableRecoveryOption = 106,
  kEnableRecoveryOption = 107,
  kUpgradeRecommended = 108,
  kLogNotOpened = 110,
  kNotAdministrator = 111,
  kUnsupportedOs = 113,
  kCopyError = 114,
  kBootIniError = 115,
  kNothingSelected = 117,
  kEnableFailed = 118,
  kEnabled = 119,
  kDisableFailed = 120,
  kDisabled = 121,
  kUpgradeFailed = 122,
  kUpgraded = 123,
  kDowngradeFailed = 124,
  kDowngraded = 125,
  kInstallationSuccessful = 126,
  kNoValidOptions = 127,
  kMediaNotFound = 128,
  kUsage = 129,
  kMessageCaption = 130,
  kHelpCaption = 131,
  kCautionCaption = 132,
  kContinueQuestion = 133,
  kUniprocessorHal = 134,
  kMultiprocessorHal = 135,
  kRecoveryPresent = 136,
  kRecoveryNotPresent = 137,
  kMediaPromptRequest = 138,
  kMediaPromptServicePack = 139,  // %d: the service pack, %s: the drive
  kMediaPromptServer = 140,       // %s: the drive
  kBrowseTitle = 141,
  kHalFilesFilter = 142,
  kAllFilesFilter = 143,
  kLogProgramName = 144,
  kLogVersion = 145,  // %s: the version
  kLogActivity = 146,
  kLogSilentBegins = 147,
  kLogInteractiveBegins = 148,
  kLogCommandLine = 149,
  kLogCurrentState = 150,
  kLogHal = 151,
  kLogProcessors = 152,
  kLogRecovery = 153,
  kLogSessionComplete = 154,
  kInterruptedCompleted = 155,
  kInterruptedUndone = 156,
  kInterruptedFailed = 157,
  kBootIniUnchanged = 158,
  kMediaMismatch = 159,      // %s: the media file, %s: its version, %s: the installed kernel's
  kSetupLogNotUpdated = 160,  // %s: the path of setup.log
  kRevertedHal = 161,         // %s, %s: the HAL's and kernel's OriginalFilename, %s: the kind
  kNotAnImage = 166,          // %s: the media file
  kImageCutOff = 167,         // %s: the media file, %s: its size, %s: the size its headers need
  kImageOtherProcessor = 168,  // %s: the media file, %s: its machine type ("0x184")
  kStagingDiskFull = 169,     // %s: the system directory
  kStagingNotWritable = 170,  // %s: the system directory
  kHiddenProcessors = 172,    // %d: the enabled cores SMBIOS reports, %d: the processors listed
};

// The texts that show a HAL kind ("Uniprocessor HAL" for the uniprocessor HAL, else
// "Multiprocessor HAL") and whether the recovery entry is there ("Present", "Not Present").
constexpr unsigned HalKindText(HalKind kind) {
  return kind == HalKind::kUniprocessor ? kUniprocessorHal : kMultiprocessorHal;
}
constexpr unsigned RecoveryStateText(bool present) {
  return present ? kRecoveryPresent : kRecoveryNotPresent;
}

// The text of id from the table compiled into the program; empty for an unknown id.
std::string_view BuiltInString(unsigned id);

}  // namespace halshift::strings
