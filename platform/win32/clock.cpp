// Local time through kernel32.
//
// May contain: Win32 calls of the Clock service. No logic of the program.
#include "platform/win32/win32_platform.h"
#include "platform/win32/windows_api.h"

namespace halshift::win32 {
namespace {

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DayOfYear(const SYSTEMTIME& now) {
  constexpr int kDaysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const int month = now.wMonth >= 1 && now.wMonth <= 12 ? now.wMonth : 1;
  int day = kDaysBeforeMonth[month - 1] + now.wDay - 1;
  if (month > 2 && IsLeapYear(now.wYear)) ++day;
  return day;
}

}  // namespace

std::optional<std::tm> Clock::LocalTime() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  if (now.wYear < 1900 || now.wMonth < 1 || now.wMonth > 12) return std::nullopt;
  std::tm result{};
  result.tm_year = now.wYear - 1900;
  result.tm_mon = now.wMonth - 1;
  result.tm_mday = now.wDay;
  result.tm_hour = now.wHour;
  result.tm_min = now.wMinute;
  result.tm_sec = now.wSecond;
  result.tm_wday = now.wDayOfWeek;
  result.tm_yday = DayOfYear(now);
  result.tm_isdst = -1;
  return result;
}

}  // namespace halshift::win32
