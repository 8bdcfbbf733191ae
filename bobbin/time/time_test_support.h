// Shared by the calendar's unit tests: a date as one line of text, every field
// that a conversion writes, so that a failing comparison shows the whole date.
#pragma once

#include <cstdio>
#include <string>

#include "bobbin/time/time64.h"

namespace bobbin::testing {

inline std::string Text(const TM64& d) {
    char text[160];
    std::snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d %d %d %d %ld %s", d.tm_year, d.tm_mon,
                  d.tm_mday, d.tm_hour, d.tm_min, d.tm_sec, d.tm_wday, d.tm_yday, d.tm_isdst,
                  d.tm_gmtoff, d.tm_zone ? d.tm_zone : "");
    return text;
}

}  // namespace bobbin::testing
