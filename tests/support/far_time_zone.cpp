#include "support/far_time_zone.h"

#include <cstdlib>

namespace testing_support {

FarTimeZone::FarTimeZone() {
  if (const char* tz = getenv("TZ")) {
    previous_ = tz;
    hadPrevious_ = true;
  }
  // Before noon UTC fourteen hours back is yesterday, after it fourteen hours
  // ahead is tomorrow. POSIX zone strings need no time zone database.
  const time_t now = time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  setenv("TZ", utc.tm_hour < 12 ? "<-14>14" : "<+14>-14", 1);
  tzset();
}

FarTimeZone::~FarTimeZone() {
  if (hadPrevious_) {
    setenv("TZ", previous_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

bool ShowsTimeWithin(const std::string& text, const char* format, Clock clock, time_t from, time_t to) {
  for (time_t t = from; t <= to; ++t) {
    std::tm parts{};
    if (clock == Clock::kLocal) {
      localtime_r(&t, &parts);
    } else {
      gmtime_r(&t, &parts);
    }
    char shown[128] = {};
    strftime(shown, sizeof(shown), format, &parts);
    if (text == shown) return true;
  }
  return false;
}

}  // namespace testing_support
