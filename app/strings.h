// String resource ids of halshift, and the built-in copy of the table for platforms without
// resources.
#pragma once

#include <string>
#include <string_view>

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
};

// The text of id from the table compiled into the program; empty for an unknown id.
std::string_view BuiltInString(unsigned id);

}  // namespace halshift::strings
