// Shared by the calendar's unit tests: a date as one line of text, every field
// that a conversion writes, so that a failing comparison shows the whole date;
// and a directory of a test's own.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
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

// A directory of a test's own, removed with its files.
struct TempDirectory {
    std::string path = [] {
        char name[] = "/tmp/zone_testXXXXXX";
        return std::string(mkdtemp(name));
    }();
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    ~TempDirectory() { std::filesystem::remove_all(path); }
};

}  // namespace bobbin::testing
