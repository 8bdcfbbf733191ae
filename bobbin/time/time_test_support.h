// Shared by the time module's tests: what they all include, a date of given
// fields, a date as one line of text (every field a conversion writes, so that
// a failing comparison shows the whole date), and a directory of a test's own.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bobbin/time/time64.h"

namespace bobbin::testing {

inline constexpr Time64 kSummer = 1782302400;  // 2026-06-24 12:00:00 UTC

// year counts from 1900; the fields not given are zero.
inline TM64 Date(std::int64_t year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
    return TM64{sec, min, hour, mday, mon, static_cast<int>(year), 0, 0, 0, 0, nullptr};
}

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
