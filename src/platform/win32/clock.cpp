#include "platform/clock.h"

#include "platform/win32/win32.h"

namespace qb::platform {

LocalDateTime LocalNow() {
  SYSTEMTIME now{};
  ::GetLocalTime(&now);
  LocalDateTime result;
  result.year = now.wYear;
  result.month = now.wMonth;
  result.day = now.wDay;
  result.hour = now.wHour;
  result.minute = now.wMinute;
  result.second = now.wSecond;
  result.millisecond = now.wMilliseconds;
  return result;
}

}  // namespace qb::platform
