// Dates across the whole 64-bit range, in UTC and in local time, and one
// instant in three zones at once.
#include <bobbin/time/time64.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

void Show(const char* label, Time64 time) {
    char utc[35];
    char local[35];
    TM64 date;
    const bool utc_ok = gmtime64_r(&time, &date) != nullptr && asctime64_r(&date, utc) != nullptr;
    const bool local_ok = ctime64_r(&time, local) != nullptr;
    std::printf("%-22s %21" PRId64 "  UTC %-32s  local %s", label, time,
                utc_ok ? std::strtok(utc, "\n") : "(out of range)",
                local_ok ? local : "(out of range)\n");
}

// Seconds of a date given in full years, taken as UTC.
Time64 Utc(std::int64_t year, int mon, int mday, int hour, int min, int sec) {
    TM64 date{};
    date.tm_year = static_cast<int>(year - 1900);
    date.tm_mon = mon;
    date.tm_mday = mday;
    date.tm_hour = hour;
    date.tm_min = min;
    date.tm_sec = sec;
    return timegm64(&date);
}

}  // namespace

int main() {
    // Local time is shown in a zone given as a rule with daylight saving; the
    // rule applies in every year, also far outside the range of 32-bit time.
    // A change of TZ is seen at the next call, without tzset.
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);

    // The range ends where tm_year, a signed 32-bit count of years since 1900, does.
    const Time64 first = Utc(std::int64_t{INT32_MIN} + 1900, 0, 1, 0, 0, 0);
    const Time64 last = Utc(std::int64_t{INT32_MAX} + 1900, 11, 31, 23, 59, 59);

    std::puts("Across the range:");
    Show("year -2,000,000,000", Utc(-2000000000, 6, 1, 12, 0, 0));
    Show("first second", first);
    Show("1 BC", Utc(0, 0, 1, 0, 0, 0));
    Show("the epoch", 0);
    Show("last 32-bit second", INT32_MAX);
    Show("one second later", Time64{INT32_MAX} + 1);
    Show("year 2,000,000,000", Utc(2000000000, 6, 1, 12, 0, 0));
    Show("last second", last);
    Show("one second later", last + 1);

    // A far-future wall-clock time in the local zone, and back.
    TM64 meeting{};
    meeting.tm_year = 300000000 - 1900;
    meeting.tm_mon = 6;
    meeting.tm_mday = 4;
    meeting.tm_hour = 9;
    meeting.tm_min = 30;
    meeting.tm_isdst = -1;
    const Time64 when = mktime64(&meeting);
    char text[35];
    std::printf("\n4 July 300,000,000 09:30 local is %" PRId64 " (%s, UTC offset %ld s): %s", when,
                meeting.tm_zone, meeting.tm_gmtoff, asctime64_r(&meeting, text));
    std::printf("back in UTC: %s", asctime64_r(gmtime64(&when), text));

    // A zone file: its own data, local mean time before its first transition,
    // and its current rule beyond year 5,881,580, where the C library stops
    // applying daylight saving.
    setenv("TZ", "America/New_York", 1);
    std::puts("\nIn America/New_York:");
    Show("15 January 1850", Utc(1850, 0, 15, 12, 0, 0));
    Show("1 July 2026", Utc(2026, 6, 1, 12, 0, 0));
    Show("1 July 10,000,000", Utc(10000000, 6, 1, 12, 0, 0));

    // Any zone on demand, TZ untouched: a zone read once, used from any thread,
    // its abbreviations valid until it is freed.
    const Time64 solstice = Utc(2026, 11, 21, 15, 3, 0);
    std::puts("\nThe December solstice of 2026 in three zones:");
    for (const char* name : {"America/New_York", "Europe/London", "Australia/Lord_Howe"}) {
        const ZoneHandle zone = ZoneHandle::Alloc(name);  // freed at the end of the turn
        TM64 date;
        char line[35];
        if (!zone || localtime64_rz(zone.Get(), &solstice, &date) == nullptr) {
            std::printf("%-20s (%s)\n", name, std::strerror(errno));
        } else {
            std::printf("%-20s %.24s %-5s UTC offset %+ld s\n", name, asctime64_r(&date, line),
                        date.tm_zone, date.tm_gmtoff);
        }
    }

    // Text that would not fit its 35 bytes is refused.
    meeting.tm_mday = -2147483647;
    errno = 0;
    const char* refused = asctime64_r(&meeting, text);
    std::printf("a day of -2147483647 as text: %s (errno %s)\n", refused ? refused : "refused",
                errno == EOVERFLOW ? "EOVERFLOW" : "other");
    return 0;
}
