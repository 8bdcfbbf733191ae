// 64-bit calendar time: conversions between signed 64-bit counts of seconds
// since 1970-01-01 00:00:00 UTC and broken-down dates of the proleptic
// Gregorian calendar, in UTC and in local time, for every year that a signed
// 32-bit tm_year holds, and dates as text.
//
// UTC conversions are the module's own arithmetic. Local conversions use the
// module's own zone reader: RFC 8536 zone files (versions 1 to 4, leap
// seconds included) and POSIX TZ rule strings; the C library's local
// conversions are not called. TZ is read at every local conversion, as getenv
// reads it, and resolved as the C library resolves it: unset is
// /etc/localtime; empty (or ':') is UTC; a leading ':' is dropped; an absolute
// path, or a name under TZDIR (else /usr/share/zoneinfo), is a zone file;
// otherwise TZ is a rule string (what follows a valid rule is ignored, as the
// C library ignores it). A value that is none of these (unreadable,
// malformed) is UTC, named by the value's leading abbreviation if any, or
// "UTC" when unset. Daylight-saving time named without dates ("XXX3YYY", no
// such file) follows, as in the C library, the changes of the zone
// directory's posixrules file moved onto the rule's offsets, and
// "M3.2.0,M11.1.0" after the file's last change (or without the file); a
// start date without an end ends on that default date too. In a set-user-ID
// process (AT_SECURE) only files under /usr/share/zoneinfo, without "../",
// and /etc/localtime are read, as the C library reads there.
//
// The answers equal the C library's wherever it applies the zone's rules
// (zone files from the first year that tm_year holds to year 5,881,580, rule
// strings from 1970); beyond, a rule string's rule holds in every year, and
// after a zone file's last transition its footer rule goes on without end, at
// the cost of a near conversion.
//
// The zones that TZ values name are held for the process's life and shared by
// every thread; equal zones (one file read through several names, one rule
// spelt several ways) are held once, and a value costs its length plus about
// 110 bytes (measured: 158 bytes a value for 20,000 paths of one file, 174 for
// 20,000 spellings of one rule). A zone of
// its own costs about its file's size, or about 20 KB for a rule with
// daylight-saving time (its changes over 400 years); zones from untrusted
// values are better held through tzalloc64, which frees them. A conversion
// takes no lock and makes no system call unless its thread sees a TZ value
// other than at its previous conversion or a check is due. At most about once
// a second per value, the zone file that the value read (/etc/localtime when
// TZ is unset, an absolute path, a name under the zone directory) is compared
// with the file on disk by device, inode, size and times of modification and
// status change, and read again when it changed: the first conversion that
// starts a second or more after the change sees it. A value whose file could
// not be read for any reason but "no such file" and malformed data (EMFILE,
// ENFILE, ENOMEM, EIO, EACCES, ELOOP, ...) answers as the C library does
// meanwhile (UTC) and is read again at the next check. A zone read before
// stays valid, unchanged, for whoever holds it; TZDIR is read when a value is
// first seen. Conversions work from any destructor and atexit handler, on any
// thread, at any point of exit; none is a cancellation point.
//
// Pointer arguments documented as "not null" must not be null. The functions
// without an _r suffix return static storage (one date, one 35-byte text) that
// every call of them overwrites; they are not thread-safe. All others are.
#pragma once

#include <cstdint>
#include <ctime>

#include "bobbin/export.h"

// Seconds since 1970-01-01 00:00:00 UTC, negative before it.
using Time64 = std::int64_t;

// Broken-down time: the C library's struct tm (tm_year counts from 1900).
using TM64 = struct tm;

// Converts *time (not null) to a UTC date in *result (not null); tm_isdst is
// 0, tm_gmtoff and tm_zone are not written. Returns result, or null with
// errno = EOVERFLOW when the year does not fit tm_year (before the first
// second of year -2147481748 or after the last of year 2147485547); then only tm_isdst (0) and
// tm_year (the low 32 bits of the year) have been written.
BOBBIN_EXPORT TM64* gmtime64_r(const Time64* time, TM64* result);

// Converts *time (not null) to local time in *result (not null), in the zone
// that TZ names at the call (see above); tm_zone points to storage that lives
// as long as the process. Returns result, or null with errno = EOVERFLOW when
// the UTC or the local year does not fit tm_year (ENOMEM when a zone newly
// named by TZ could not be read for want of memory); then *result is not
// written. Never throws.
BOBBIN_EXPORT TM64* localtime64_r(const Time64* time, TM64* result);

// Seconds for *date (not null) taken as local time; tm_wday and tm_yday are
// ignored, a negative tm_isdst lets the zone decide. Fields beyond their
// ranges are first carried into the larger ones as wall-clock time, so every
// spelling of a local time gives one result (seconds outside 0 to 59 are
// added after the zone is resolved, as mktime adds them). A local time that
// occurs twice is told apart by tm_isdst, else by tm_gmtoff when it is one of
// the two offsets, else the earlier is taken. As mktime resolves them, one
// that does not occur is read with the offset before the gap (or after it,
// when only that side has the tm_isdst asked for), and one whose tm_isdst
// the zone does not have then with the offset of the nearest time that has
// it (within 2651 days), else one hour apart. Normalises *date in place
// as localtime64_r converts the result, so mktime64 of localtime64_r's date
// gives its time back. Returns -1 with errno = EOVERFLOW, *date untouched,
// when the normalised date or its UTC time lies outside the years that
// tm_year holds (ENOMEM as for localtime64_r). Never throws.
BOBBIN_EXPORT Time64 mktime64(TM64* date);

// The same as mktime64.
BOBBIN_EXPORT Time64 timelocal64(TM64* date);

// Seconds for *date (not null) taken as UTC. No field needs to be in range:
// each adds its value (a tm_mon outside 0 to 11 carries into the year, as
// timegm does). tm_wday, tm_yday, tm_isdst are ignored. Never fails.
BOBBIN_EXPORT Time64 timegm64(const TM64* date);

// Writes "Www Mmm DD hh:mm:ss YYYY\n" (the year in full, with its sign) into
// result, which holds at least 35 bytes. Returns result, or null with errno =
// EINVAL when date is null or tm_wday is outside 0 to 6 or tm_mon outside 0 to
// 11, or with errno = EOVERFLOW when the text would need more than 35 bytes;
// on failure result is not written.
BOBBIN_EXPORT char* asctime64_r(const TM64* date, char* result);

// asctime64_r of the local time of *time (not null) into result (35 bytes).
// Null when the conversion or the text fails.
BOBBIN_EXPORT char* ctime64_r(const Time64* time, char* result);

// gmtime64_r into the static date shared with localtime64.
BOBBIN_EXPORT TM64* gmtime64(const Time64* time);

// Reads TZ once: has the C library reread the zone (tzset, so that its
// tzname follows TZ too; not when it would open a FIFO or a device, TZ's file
// or posixrules, on which it would block), then localtime64_r into the static
// date shared with gmtime64.
BOBBIN_EXPORT TM64* localtime64(const Time64* time);

// asctime64_r into the static text shared with ctime64.
BOBBIN_EXPORT char* asctime64(const TM64* date);

// Rereads the zone, then asctime64 of localtime64 (both static buffers are
// overwritten). Null when the conversion or the text fails.
BOBBIN_EXPORT char* ctime64(const Time64* time);

// Compares tm_year, tm_mon, tm_mday, tm_hour, tm_min, tm_sec in that order, as
// given (not normalised): 1 if *left is later, -1 if earlier, 0 if equal.
BOBBIN_EXPORT int cmp_date(const TM64* left, const TM64* right);

// Non-zero when *min <= *date <= *max by cmp_date.
BOBBIN_EXPORT int date_in_safe_range(const TM64* date, const TM64* min, const TM64* max);

// Copies the whole structure into *destination (not null); a null source
// zero-fills it.
BOBBIN_EXPORT void copy_tm_to_TM64(const struct tm* source, TM64* destination);
BOBBIN_EXPORT void copy_TM64_to_tm(const TM64* source, struct tm* destination);

// localtime64_r of a time_t (fake_localtime_r) and the C library's gmtime_r
// (fake_gmtime_r) of *time (not null) into *result (not null). Returns
// result, or null with *result zero-filled when the conversion fails.
// Thread-safe.
BOBBIN_EXPORT struct tm* fake_localtime_r(const time_t* time, struct tm* result);
BOBBIN_EXPORT struct tm* fake_gmtime_r(const time_t* time, struct tm* result);

// A time zone read once and unchanged after: a zone file's transitions and
// footer rule, or a POSIX rule string. Opaque; one zone may be used by any
// number of threads at once.
struct Zone64;

// Reads the zone that the TZ value name denotes, through the same steps as
// TZ (see above): a zone file name under TZDIR or /usr/share/zoneinfo, an
// absolute path, either after a ':', a POSIX rule string, or UTC for "" and
// ":"; a null name means the zone that TZ names now (unset: /etc/localtime).
// The zone is read now and never follows its file. Returns the zone, to be
// freed by tzfree64, or null with errno = EINVAL when name is neither a
// readable zone file nor a valid rule string, EACCES for a file that a
// set-user-ID process may not read, or the error of reading the file (ENOMEM
// when out of memory). Never falls back to UTC. Thread-safe; may block on the
// file system, never on a FIFO.
BOBBIN_EXPORT Zone64* tzalloc64(const char* name);

// Frees a zone of tzalloc64; no conversion may be using it any more, and the
// tm_zone texts of its dates become invalid. A null zone does nothing. C++
// callers hold zones in a ZoneHandle, which calls it.
BOBBIN_EXPORT void tzfree64(Zone64* zone);

// Owns a zone of tzalloc64 and frees it with tzfree64 when destroyed or
// reset, so that C++ callers never free a zone themselves. Move-only; a
// default, moved-from or released handle holds no zone. The handle itself is
// not thread-safe; the zone it holds may be used by any number of threads at
// once while the handle lives (tm_zone texts of its dates too).
class ZoneHandle {
  public:
    ZoneHandle() noexcept = default;
    // Takes ownership of zone, a zone of tzalloc64 or null.
    explicit ZoneHandle(Zone64* zone) noexcept : zone_(zone) {}
    ZoneHandle(ZoneHandle&& other) noexcept : zone_(other.Release()) {}
    ZoneHandle& operator=(ZoneHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    ZoneHandle(const ZoneHandle&) = delete;
    ZoneHandle& operator=(const ZoneHandle&) = delete;
    ~ZoneHandle() { tzfree64(zone_); }

    // tzalloc64(name): on failure a handle that holds no zone, errno set as
    // tzalloc64 sets it. Blocks on the file system as tzalloc64 does.
    static ZoneHandle Alloc(const char* name) noexcept { return ZoneHandle(tzalloc64(name)); }

    // The zone held, or null; valid while the handle holds it.
    const Zone64* Get() const noexcept { return zone_; }
    explicit operator bool() const noexcept { return zone_ != nullptr; }

    // Gives the zone up to the caller, who frees it with tzfree64.
    Zone64* Release() noexcept {
        Zone64* zone = zone_;
        zone_ = nullptr;
        return zone;
    }

    // Frees the zone held (unless it is zone itself) and takes zone.
    void Reset(Zone64* zone = nullptr) noexcept {
        if (zone == zone_) return;
        tzfree64(zone_);
        zone_ = zone;
    }

  private:
    Zone64* zone_ = nullptr;
};

// localtime64_r in *zone (not null): the same contract, with tm_zone pointing
// into the zone (valid until tzfree64). Takes no lock, makes no system call.
BOBBIN_EXPORT TM64* localtime64_rz(const Zone64* zone, const Time64* time, TM64* result);

// mktime64 in *zone (not null): the same contract. Takes no lock, makes no
// system call.
BOBBIN_EXPORT Time64 mktime64_z(const Zone64* zone, TM64* date);

// Non-zero when tm_wday is 0 to 6 (tm_mon is 0 to 11); date not null.
BOBBIN_EXPORT int valid_tm_wday(const TM64* date);
BOBBIN_EXPORT int valid_tm_mon(const TM64* date);
