// Helpers shared by the calendar-time tests.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "bobbin/time/time64.h"

namespace bobbin::testing {

// Sets TZ for the scope and restores it after. Only for single-threaded use.
class ZoneScope {
  public:
    explicit ZoneScope(const char* zone) : had_(std::getenv("TZ") != nullptr) {
        if (had_) saved_ = std::getenv("TZ");
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        had_ ? setenv("TZ", saved_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

  private:
    bool had_;
    std::string saved_;
};

inline std::string Describe(const TM64& d) {
    char text[160];
    std::snprintf(text, sizeof text, "year %d mon %d mday %d %d:%d:%d wday %d yday %d isdst %d",
                  d.tm_year, d.tm_mon, d.tm_mday, d.tm_hour, d.tm_min, d.tm_sec, d.tm_wday,
                  d.tm_yday, d.tm_isdst);
    return text;
}

// The nine calendar fields; with `zone` also the offset and the zone's name.
inline bool SameDate(const TM64& a, const TM64& b, bool zone = false) {
    return Describe(a) == Describe(b) &&
           (!zone || (a.tm_gmtoff == b.tm_gmtoff && a.tm_zone && b.tm_zone &&
                      std::string(a.tm_zone) == b.tm_zone));
}

inline TM64 Date(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0, int wday = 0,
                 int yday = 0) {
    TM64 date{};
    date.tm_year = year, date.tm_mon = mon, date.tm_mday = mday;
    date.tm_hour = hour, date.tm_min = min, date.tm_sec = sec;
    date.tm_wday = wday, date.tm_yday = yday;
    return date;
}

}  // namespace bobbin::testing
