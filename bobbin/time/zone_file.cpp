// The zone files of RFC 8536 (TZif, versions 1 to 4): read with every count
// and offset bounded by the bytes read.
#include "bobbin/time/internal/zone_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace bobbin::detail {

namespace {

constexpr std::size_t kHeaderSize = 44;

// Offsets a zone may have (RFC 8536 recommends -89999 to 93599 seconds).
constexpr std::int32_t kMinOffset = -25 * 3600;
constexpr std::int32_t kMaxOffset = 26 * 3600;

// Transitions beyond these times are kept at them (files use up to -2^59 for
// "since ever", some +-2^62), far outside the years that tm_year holds; the
// bound keeps differences of times within 64 bits. Leap seconds beyond them
// are malformed.
constexpr Time64 kMaxTime = Time64{1} << 60;

// Leap seconds add up to some tens; a larger correction is not a clock's.
constexpr std::int64_t kMaxLeapCorrection = 86400;

std::uint32_t ReadUnsigned32(const unsigned char* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

std::int64_t ReadSigned(const unsigned char* p, int width) {
    if (width == 4) return static_cast<std::int32_t>(ReadUnsigned32(p));
    return static_cast<std::int64_t>(std::uint64_t{ReadUnsigned32(p)} << 32 |
                                     ReadUnsigned32(p + 4));
}

// The counts of a header and the size of the data block after it.
struct Header {
    char version;
    std::uint32_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;
    std::uint64_t DataSize(int width) const {
        return std::uint64_t{timecnt} * (width + 1) + std::uint64_t{typecnt} * 6 + charcnt +
               std::uint64_t{leapcnt} * (width + 4) + isstdcnt + isutcnt;
    }
};

// Reads the header at data; when used (its block is the one read), its
// counts must describe a valid block, else only its size is needed.
bool ReadHeader(const unsigned char* data, std::size_t size, bool used, Header* header) {
    if (size < kHeaderSize || std::memcmp(data, "TZif", 4) != 0) return false;
    header->version = static_cast<char>(data[4]);
    header->isutcnt = ReadUnsigned32(data + 20);
    header->isstdcnt = ReadUnsigned32(data + 24);
    header->leapcnt = ReadUnsigned32(data + 28);
    header->timecnt = ReadUnsigned32(data + 32);
    header->typecnt = ReadUnsigned32(data + 36);
    header->charcnt = ReadUnsigned32(data + 40);
    // Any version from '2' on has the layout of version 2.
    return (header->version == 0 || static_cast<unsigned char>(header->version) >= '2') &&
           kHeaderSize + header->DataSize(4) <= size &&
           (!used || (header->typecnt >= 1 && header->typecnt <= 256 && header->charcnt >= 1 &&
                      (header->isutcnt == 0 || header->isutcnt == header->typecnt) &&
                      (header->isstdcnt == 0 || header->isstdcnt == header->typecnt)));
}

// Keeps of the transitions at or beyond -kMaxTime and kMaxTime only those
// that times within the bounds can tell apart (the last before, the first
// after them), moved to the bounds.
void KeepTransitionsNear(Zone64* zone) {
    std::vector<Time64>& times = zone->transitions;
    std::vector<std::uint8_t>& types = zone->transition_types;
    const auto count = static_cast<std::ptrdiff_t>(times.size());
    const std::ptrdiff_t low =
        std::upper_bound(times.begin(), times.end(), -kMaxTime) - times.begin();
    const std::ptrdiff_t high =
        std::lower_bound(times.begin(), times.end(), kMaxTime) - times.begin();
    const std::ptrdiff_t last = std::min(high + 1, count);
    const std::ptrdiff_t first = std::max<std::ptrdiff_t>(low - 1, 0);
    times.erase(times.begin() + last, times.end());
    types.erase(types.begin() + last, types.end());
    times.erase(times.begin(), times.begin() + first);
    types.erase(types.begin(), types.begin() + first);
    for (Time64& time : times) time = std::clamp(time, -kMaxTime, kMaxTime);
    zone->rule_transition = times.size();
}

// Reads the data block at data (DataSize(width) bytes, checked) into *zone.
bool ReadData(const Header& header, const unsigned char* data, int width, Zone64* zone) {
    const unsigned char* p = data;
    zone->transitions.resize(header.timecnt);
    for (Time64& time : zone->transitions) {
        time = ReadSigned(p, width);
        p += width;
    }
    zone->transition_types.assign(p, p + header.timecnt);
    p += header.timecnt;
    for (const std::uint8_t type : zone->transition_types) {
        if (type >= header.typecnt) return false;
    }
    const unsigned char* names = p + std::size_t{header.typecnt} * 6;
    zone->types.resize(header.typecnt);
    for (LocalType& type : zone->types) {
        const auto offset = static_cast<std::int32_t>(ReadUnsigned32(p));
        const unsigned is_dst = p[4], name = p[5];
        p += 6;
        if (offset < kMinOffset || offset > kMaxOffset || is_dst > 1 || name >= header.charcnt) {
            return false;
        }
        type = {offset, is_dst == 1, name};
    }
    // Before the first transition: the first standard type, as the C library
    // takes it (type 0 when all are daylight-saving time).
    const auto standard = std::find_if(zone->types.begin(), zone->types.end(),
                                       [](const LocalType& type) { return !type.is_dst; });
    zone->initial_type = static_cast<std::uint8_t>(
        standard == zone->types.end() ? 0 : standard - zone->types.begin());
    // A null character after them ends an abbreviation that the bytes do not.
    zone->names.assign(reinterpret_cast<const char*>(names), header.charcnt).push_back('\0');
    p += header.charcnt;
    zone->leap_seconds.resize(header.leapcnt);
    for (LeapSecond& leap : zone->leap_seconds) {
        leap.occurrence = ReadSigned(p, width);
        leap.correction = ReadSigned(p + width, 4);
        p += width + 4;
        if (leap.occurrence < -kMaxTime || leap.occurrence > kMaxTime ||
            leap.correction < -kMaxLeapCorrection || leap.correction > kMaxLeapCorrection) {
            return false;
        }
    }
    // Out of order as some files have them: sorted, each time with its type,
    // so that every search sees ascending times.
    if (!std::is_sorted(zone->transitions.begin(), zone->transitions.end())) {
        std::vector<std::pair<Time64, std::uint8_t>> pairs;
        for (std::size_t i = 0; i < zone->transitions.size(); ++i) {
            pairs.emplace_back(zone->transitions[i], zone->transition_types[i]);
        }
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            zone->transitions[i] = pairs[i].first;
            zone->transition_types[i] = pairs[i].second;
        }
    }
    std::stable_sort(
        zone->leap_seconds.begin(), zone->leap_seconds.end(),
        [](const LeapSecond& a, const LeapSecond& b) { return a.occurrence < b.occurrence; });
    KeepTransitionsNear(zone);
    // Two transitions or leap seconds at one time are malformed, and so is a
    // leap second that moves the correction by other than one second (RFC
    // 8536; the first record may hold any correction). The standard/wall
    // and UT/local indicators are not needed.
    const auto same_time = [](const LeapSecond& a, const LeapSecond& b) {
        return a.occurrence == b.occurrence ||
               (b.correction - a.correction != 1 && b.correction - a.correction != -1);
    };
    return std::adjacent_find(zone->transitions.begin(), zone->transitions.end()) ==
               zone->transitions.end() &&
           std::adjacent_find(zone->leap_seconds.begin(), zone->leap_seconds.end(), same_time) ==
               zone->leap_seconds.end();
}

// The footer "\nrule\n" in [p, end): its rule, when not empty, follows the
// last transition (also without the last newline). A zone without
// transitions keeps its first type, and a footer that is not a valid rule, or
// does not start with a newline, is ignored: the last transition's type goes
// on. False when fewer than two bytes follow the data, as the C library
// refuses such a file.
bool ReadFooter(const unsigned char* p, const unsigned char* end, Zone64* zone) {
    if (end - p < 2) return false;
    if (*p != '\n' || zone->transitions.empty()) return true;
    const auto* text = reinterpret_cast<const char*>(p + 1);
    const void* newline = std::memchr(text, '\n', static_cast<std::size_t>(end - p - 1));
    const std::string footer(
        text, newline ? static_cast<const char*>(newline) : reinterpret_cast<const char*>(end));
    Rule rule;
    const char* rule_end = footer.empty() ? nullptr : ParseRule(footer.c_str(), &rule);
    if (rule_end != nullptr && *rule_end == '\0') zone->SetRule(rule);
    return true;
}

std::unique_ptr<Zone64> ReadImage(const unsigned char* data, std::size_t size) {
    Header header;
    if (!ReadHeader(data, size, size >= 5 && data[4] == 0, &header)) return nullptr;
    auto zone = std::make_unique<Zone64>();
    if (header.version == 0) {
        if (!ReadData(header, data + kHeaderSize, 4, zone.get())) return nullptr;
        return zone;
    }
    // Version 2 and later: the 64-bit header and data follow the 32-bit ones.
    const std::size_t second = kHeaderSize + header.DataSize(4);
    if (!ReadHeader(data + second, size - second, true, &header) ||
        second + kHeaderSize + header.DataSize(8) > size ||
        !ReadData(header, data + second + kHeaderSize, 8, zone.get()) ||
        !ReadFooter(data + second + kHeaderSize + header.DataSize(8), data + size, zone.get())) {
        return nullptr;
    }
    zone->DropTransitionsOfRule();
    return zone;
}

FileIdentity IdentityOf(const struct stat& status) {
    return {status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
}

// Holds off the calling thread's cancellation while it lives: open and read
// are cancellation points, and a conversion must neither leak its descriptor
// nor unwind through callers that promise not to throw.
class CancellationOff {
  public:
    CancellationOff() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &before_); }
    ~CancellationOff() { pthread_setcancelstate(before_, nullptr); }
    CancellationOff(const CancellationOff&) = delete;
    CancellationOff& operator=(const CancellationOff&) = delete;

  private:
    int before_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

int ReadZoneImage(const unsigned char* data, std::size_t size, std::unique_ptr<Zone64>* zone) {
    try {
        *zone = ReadImage(data, size);
        return *zone == nullptr ? EINVAL : 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

int ReadZoneFile(const char* path, std::unique_ptr<Zone64>* zone, FileIdentity* identity) {
    const CancellationOff cancellation_off;
    // Non-blocking, so that a FIFO does not stall the open; only a regular
    // file is read.
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno;
    struct stat status;
    int error = fstat(fd, &status) != 0 ? errno : 0;
    if (error == 0 && !S_ISREG(status.st_mode)) error = EINVAL;
    std::unique_ptr<unsigned char[]> buffer;
    const std::size_t capacity =
        error != 0 ? 0 : std::min(static_cast<std::size_t>(status.st_size) + 1, kMaxZoneFileSize);
    if (error == 0) {
        buffer.reset(new (std::nothrow) unsigned char[capacity]);
        if (buffer == nullptr) error = ENOMEM;
    }
    std::size_t size = 0;
    while (error == 0 && size < capacity) {
        const ssize_t got = read(fd, buffer.get() + size, capacity - size);
        if (got == 0) break;
        if (got > 0) {
            size += static_cast<std::size_t>(got);
        } else if (errno != EINTR) {
            error = errno;
        }
    }
    close(fd);
    if (error != 0) return error;
    *identity = IdentityOf(status);
    return ReadZoneImage(buffer.get(), size, zone);
}

int IdentityOf(const char* path, FileIdentity* identity) {
    struct stat status;
    if (stat(path, &status) == 0) {
        *identity = IdentityOf(status);
        return 0;
    }
    *identity = FileIdentity{};
    return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
}

}  // namespace bobbin::detail
