// Fuzzes the setup.log model over arbitrary bytes: the rewrite of the HAL and kernel lines and
// of the first key the input holds, the finder over what it wrote, and the [Paths] reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.h"
#include "hal/setup_log.h"

using halshift::fuzzing::Check;

namespace {

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto feed = text.find('\n', start);
    const std::size_t next = feed == std::string_view::npos ? text.size() : feed + 1;
    lines.push_back(text.substr(start, next - start));
    start = next;
  }
  return lines;
}

// The text before the first "=" of the first line that has one, without blanks around it.
std::string FirstKey(std::string_view text) {
  for (const std::string_view line : Lines(text)) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view key = line.substr(0, equals);
    while (!key.empty() && (key.front() == ' ' || key.front() == '\t')) key.remove_prefix(1);
    while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
    return std::string(key);
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halshift::hal;
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Each path comes from within one line of the input.
  const SetupLogPaths paths = ReadSetupLogPaths(text);
  for (const std::string* field : {&paths.targetDirectory, &paths.targetDevice, &paths.systemPartition}) {
    Check(field->find('\n') == std::string::npos && field->size() <= text.size());
  }
  const std::vector<SetupLogChange> changes = {
      {"\\WINNT\\system32\\hal.dll", "HALMPS.DLL", 0x1a01c},
      {"\\WINNT\\system32\\ntoskrnl.exe", "NTKRNLMP.EXE", static_cast<std::uint32_t>(size)},
      {FirstKey(text), "hal.dll", 0xf337},
  };
  const SetupLogRewrite rewrite = RewriteSetupLog(text, changes);
  if (rewrite.changed.empty()) {
    Check(rewrite.text == text);
    return 0;
  }

  // Line for line the same, but for the changed lines, whose new value follows their own
  // key, "=" and blanks and is followed by their own line end.
  const std::vector<std::string_view> before = Lines(text);
  const std::vector<std::string_view> after = Lines(rewrite.text);
  Check(before.size() == after.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < before.size(); ++i) {
    if (next < rewrite.changed.size() && rewrite.changed[next].line == i) {
      const SetupLogChange& change = changes[rewrite.changed[next].change];
      const std::string value = FormatSetupLogValue(change.mediaName, change.checkSum);
      const std::string_view old = before[i];
      const std::string_view now = after[i];
      Check(old != now);
      const std::string_view end = old.ends_with("\r\n") ? "\r\n"
                                   : old.ends_with("\n") ? "\n"
                                   : old.ends_with("\r") ? "\r"
                                                         : "";
      Check(now.ends_with(std::string(value) + std::string(end)));
      const std::size_t prefix = now.size() - end.size() - value.size();
      Check(prefix <= old.size() && now.substr(0, prefix) == old.substr(0, prefix));
      const auto entry = FindSetupLogFile(rewrite.text, change.path);
      Check(entry.has_value() && entry->fields.size() == 2);
      ++next;
    } else {
      Check(before[i] == after[i]);
    }
  }
  Check(next == rewrite.changed.size());

  // Asking again changes nothing more.
  const SetupLogRewrite again = RewriteSetupLog(rewrite.text, changes);
  Check(again.changed.empty() && again.text == rewrite.text);
  return 0;
}
