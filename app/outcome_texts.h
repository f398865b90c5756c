// The one place where outcomes become texts: what an operation, the media check or the
// identification found, worded from the string table for the log and the dialogs alike. The
// subsystems below report values; only this file and the drivers load strings for them.
#pragma once

#include <string>
#include <string_view>

#include "bootmenu/recovery.h"
#include "core/state.h"
#include "hal/upgrade.h"
#include "platform/platform.h"

namespace halshift {

// The reason of a change of system files that did not happen: 114 (the files could not be
// installed from the media, or the change was put back), 169 or 170 (the system directory took
// no new file), 166 to 168 (a media file is no whole i386 image: the file and what is wrong
// with it) or 159 (the media does not match: the file, both versions and the request for the
// media of the installed service pack).
std::string FilesFailureText(platform::UserInterface& ui, const hal::FilesFailure& failure);
// The reason of a boot menu edit that did not happen: 115 sends the user to the backup, so it
// is given only when the backup holds the BOOT.INI that is on disk; else 158.
std::string BootMenuFailureText(platform::UserInterface& ui, bootmenu::MenuEdit edit);
// The warning of a change that stands while setup.log at setupLogPath lags behind it (160).
std::string SetupLogLagText(platform::UserInterface& ui, std::string_view setupLogPath);

// The notice of a firmware that hides processors (172): the cores, then the processors listed.
std::string HiddenProcessorsNotice(platform::UserInterface& ui, const SystemSurvey& survey);
// The notice of installed files that disagree with CurrentType (161): the two file names ("?"
// for one that cannot be read) and the recorded kind.
std::string InstalledFilesNotice(platform::UserInterface& ui, const HalInstallation& installation);

}  // namespace halshift
