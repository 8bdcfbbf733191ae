// Helpers shared by the calendar-time tests.
#pragma once

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>

#include "bobbin/time/time64.h"

namespace bobbin::testing {

// Sets TZ for the scope and restores it after. Only for single-threaded use.
class ZoneScope {
  public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        had_zone_ = old != nullptr;
        if (had_zone_) saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneScope() {
        if (had_zone_) {
            setenv("TZ", saved_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

  private:
    bool had_zone_ = false;
    std::string saved_;
};

// The nine calendar fields (not tm_gmtoff, tm_zone).
inline bool SameDate(const TM64& left, const TM64& right) {
    return left.tm_sec == right.tm_sec && left.tm_min == right.tm_min &&
           left.tm_hour == right.tm_hour && left.tm_mday == right.tm_mday &&
           left.tm_mon == right.tm_mon && left.tm_year == right.tm_year &&
           left.tm_wday == right.tm_wday && left.tm_yday == right.tm_yday &&
           left.tm_isdst == right.tm_isdst;
}

// The calendar fields and the zone: offset and name as text.
inline bool SameLocalDate(const TM64& left, const TM64& right) {
    return SameDate(left, right) && left.tm_gmtoff == right.tm_gmtoff &&
           std::string(left.tm_zone ? left.tm_zone : "") ==
               std::string(right.tm_zone ? right.tm_zone : "");
}

inline std::string Describe(const TM64& date) {
    std::ostringstream text;
    text << "year " << date.tm_year << " mon " << date.tm_mon << " mday " << date.tm_mday << ' '
         << date.tm_hour << ':' << date.tm_min << ':' << date.tm_sec << " wday " << date.tm_wday
         << " yday " << date.tm_yday << " isdst " << date.tm_isdst;
    return text.str();
}

}  // namespace bobbin::testing
