// The activity log's session blocks, written through a buffered text-mode stream.
#include "app/activity_log.h"

#include <array>
#include <cstdio>

#include "core/strings.h"
#include "base/text.h"
#include "base/version.h"

namespace halshift {
namespace {

constexpr std::string_view kRule =
    "----------------------------------------------------------------------\n";
// Output is written out when this much has gathered, and at closing.
constexpr std::size_t kBufferSize = 4096;

std::string FormatTime(platform::Clock& clock) {
  const std::optional<std::tm> now = clock.LocalTime();
  if (!now) return {};
  std::array<char, 64> text{};
  // The log has always written two-digit years; readers of existing logs rely on the form.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
  const std::size_t length = std::strftime(text.data(), text.size(), "%m/%d/%y - %H:%M:%S", &*now);
#pragma GCC diagnostic pop
  return std::string(text.data(), length);
}

}  // namespace

ActivityLog::~ActivityLog() { Close(); }

bool ActivityLog::Open(std::string_view path) {
  Close();
  file_ = platform_.files.OpenFile(path, platform::OpenMode::kAppendExclusive);
  isOpen_ = file_ != nullptr;
  return isOpen_;
}

void ActivityLog::WriteEntry(std::string text) {
  if (!isOpen_) return;
  // Text mode: every line feed reaches the file as CR LF.
  for (char c : text) {
    if (c == '\n') buffer_.push_back('\r');
    buffer_.push_back(c);
  }
  if (buffer_.size() >= kBufferSize) Flush();
}

void ActivityLog::Flush() {
  if (buffer_.empty() || !file_) return;
  // A write that fails (a full disk) loses these entries but never ends the session.
  file_->Write(buffer_);
  buffer_.clear();
}

void ActivityLog::WriteSessionHeader(bool silentMode, std::string_view commandLine) {
  WriteEntry(std::string(kRule));
  WriteEntry(Text(strings::kLogProgramName));
  WriteEntry(text::FillIn(Text(strings::kLogVersion), {HALSHIFT_VERSION_TEXT}));
  WriteEntry(Text(strings::kLogActivity));
  const std::string time = FormatTime(platform_.clock);
  WriteEntry(Text(silentMode ? strings::kLogSilentBegins : strings::kLogInteractiveBegins) + time +
             "\n");
  WriteEntry(std::string(kRule));
  if (silentMode) {
    WriteEntry(Text(strings::kLogCommandLine));
    WriteEntry(std::string(commandLine));
    WriteEntry("\n");
  }
}

void ActivityLog::WriteCurrentState(const SystemSurvey& survey, const HalInstallation& installation) {
  WriteEntry(Text(strings::kLogCurrentState));
  WriteEntry(Text(strings::kLogHal) + Text(strings::HalKindText(installation.halKind)));
  WriteEntry(Text(strings::kLogProcessors) + std::to_string(survey.installedProcessors));
  WriteEntry(Text(strings::kLogRecovery) +
             Text(strings::RecoveryStateText(installation.recoveryPresent)));
  WriteEntry("\n\n");
}

void ActivityLog::WriteSessionFooter() {
  WriteEntry("\n");
  WriteEntry(std::string(kRule));
  WriteEntry(Text(strings::kLogSessionComplete));
  WriteEntry(std::string(kRule));
}

void ActivityLog::Close() {
  if (!isOpen_) return;
  Flush();
  file_->Close();
  file_.reset();
  isOpen_ = false;
}

}  // namespace halshift
