// Local time half a day away from UTC, and checks of time stamps against the
// clock. The suite itself runs in UTC, where local time and UTC cannot be
// told apart.
#pragma once
#include <ctime>
#include <string>

namespace testing_support {

// While it lives, the process (and every program it starts) keeps local time
// fourteen hours from UTC, on another date than UTC's when it is made.
class FarTimeZone {
 public:
  FarTimeZone();
  ~FarTimeZone();
  FarTimeZone(const FarTimeZone&) = delete;
  FarTimeZone& operator=(const FarTimeZone&) = delete;

 private:
  std::string previous_;
  bool hadPrevious_ = false;
};

enum class Clock { kLocal, kUtc };

// True when `text` is the strftime `format` of one second of [from, to] as
// `clock` shows it.
bool ShowsTimeWithin(const std::string& text, const char* format, Clock clock, time_t from, time_t to);

}  // namespace testing_support
