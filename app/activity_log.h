// The activity log: one block per session appended to halshift.log on the system drive.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/state.h"
#include "platform/platform.h"

namespace halshift {

class ActivityLog {
 public:
  explicit ActivityLog(platform::Platform& platform) : platform_(platform) {}
  ~ActivityLog();
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // Opens the file for writing without sharing, creating it when missing and keeping its
  // contents; later entries follow its existing end. False when it cannot be opened.
  bool Open(std::string_view path);
  bool IsOpen() const { return isOpen_; }

  // Appends text unchanged (a line feed is stored as CR LF) when the log is open.
  void WriteEntry(std::string text);

  void WriteSessionHeader(bool silentMode, std::string_view commandLine);
  void WriteCurrentState(const SystemSurvey& survey, const HalInstallation& installation);
  void WriteSessionFooter();

  // Writes out the buffer and closes the file, when open.
  void Close();

 private:
  void Flush();
  std::string Text(unsigned id) { return platform_.ui.LoadString(id); }

  platform::Platform& platform_;
  std::unique_ptr<platform::OutputFile> file_;
  std::string buffer_;
  bool isOpen_ = false;
};

}  // namespace halshift
