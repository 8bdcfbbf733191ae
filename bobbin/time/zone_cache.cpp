// From a TZ value to its zone: one resolver for TZ and tzalloc64, and the zones
// that TZ names, held for the life of the process. The cache is made on first
// use and never destroyed, and the only per-thread state is a plain pointer,
// so that conversions work from any destructor at exit. Zones are shared by
// what they are (equal zones are held once), a value costing a small key;
// errors that may pass are retried, and replaced zone files followed, by a
// check at most about once a second per value.
#include "bobbin/time/internal/zone_cache.h"

#include <pthread.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>  // environ

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <unordered_map>
#include <vector>

#include "bobbin/internal/posix.h"
#include "bobbin/time/internal/rule.h"

namespace bobbin::detail {

namespace {

constexpr char kLocalTimeFile[] = "/etc/localtime";
constexpr char kSystemZoneDirectory[] = "/usr/share/zoneinfo";

// Errors of reading a file that mean "no zone file of that name": a rule then.
bool NoSuchFile(int error) {
    return error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG || error == EINVAL;
}

// Errors of reading a file that may pass (EMFILE, EIO, EACCES until a chmod,
// ...): read it again later. Only "no such file" and malformed data are kept.
bool MayPass(int error) {
    return error != 0 && !NoSuchFile(error);
}

// In a set-user-ID (or otherwise privileged) process the C library reads no
// zone file outside its zone directory but /etc/localtime, and no name with
// "../"; neither does this one (nor a sibling such as /usr/share/zoneinfoX).
bool RefusedWhenPrivileged(const char* name) {
    static const bool kPrivileged = getauxval(AT_SECURE) != 0;
    if (!kPrivileged) return false;
    if (std::strstr(name, "../") != nullptr) return true;
    if (*name != '/') return false;
    const std::size_t length = sizeof kSystemZoneDirectory - 1;
    return std::strcmp(name, kLocalTimeFile) != 0 &&
           (std::strncmp(name, kSystemZoneDirectory, length) != 0 || name[length] != '/');
}

// UTC under the value's leading abbreviation (three letters or more), as the C
// library falls back for a value that is neither a zone file nor a rule.
std::unique_ptr<Zone64> UtcNamedAfter(const char* name) {
    const char* end = name;
    while ((*end >= 'A' && *end <= 'Z') || (*end >= 'a' && *end <= 'z')) ++end;
    return UtcZone(end - name >= 3 ? std::string(name, end) : std::string());
}

// The zone file that value (null: TZ unset) names: /etc/localtime, an
// absolute path, or a name under directory; a leading ':' is dropped.
std::string FileOf(const char* value, const char* directory) {
    const char* name = value == nullptr ? kLocalTimeFile : value + (*value == ':');
    return *name == '/' ? std::string(name) : std::string(directory) + "/" + name;
}

// The resolution of a file's zone, or of its failure.
void ResolveFile(const std::string& path, Resolution* resolved) {
    resolved->error = ReadZoneFile(path.c_str(), &resolved->zone, &resolved->file);
    resolved->may_pass = MayPass(resolved->error);
    resolved->followed = resolved->error == 0 || resolved->error == EINVAL || resolved->may_pass;
}

// The zone of a rule whose daylight-saving time has no dates: posixrules under
// directory, when it can be read. A read that may pass is a failure.
std::unique_ptr<Zone64> ZoneOfRuleWithoutDates(const Rule& rule, const char* directory,
                                               Resolution* resolved) {
    Resolution posixrules;
    if (!rule.has_dates && !rule.daylight_name.empty()) {
        ResolveFile(std::string(directory) + "/posixrules", &posixrules);
        if (posixrules.may_pass) {
            resolved->error = posixrules.error;
            resolved->may_pass = true;
        }
    }
    return ZoneOfRule(rule, posixrules.zone.get());
}

Resolution ResolveValue(const char* value, const char* directory, OnFailure onFailure) {
    Resolution resolved;
    if (value == nullptr) {
        ResolveFile(kLocalTimeFile, &resolved);
        resolved.followed = true;  // /etc/localtime may come later
        if (resolved.error != 0) {
            resolved.zone.reset();
            if (onFailure == OnFailure::kFallBack) resolved.zone = UtcZone("UTC");
        }
        return resolved;
    }
    const char* name = *value == ':' ? value + 1 : value;
    if (*name == '\0') {
        resolved.zone = UtcZone("UTC");
        return resolved;
    }
    if (RefusedWhenPrivileged(name)) {
        resolved.error = EACCES;
    } else {
        ResolveFile(FileOf(value, directory), &resolved);
        if (resolved.error == 0) return resolved;
        resolved.zone.reset();
    }
    // No zone file: a rule string, as the C library reads one (what follows a
    // valid rule is ignored).
    const int file_error = resolved.error;
    const bool refuse_for_file = *name == '/' || !NoSuchFile(file_error);
    if (refuse_for_file && onFailure == OnFailure::kRefuse) return resolved;
    Rule rule;
    const char* end = ParseRule(name, &rule);
    if (end != nullptr) {
        resolved.error = 0;
        resolved.zone = ZoneOfRuleWithoutDates(rule, directory, &resolved);
        if (*end != '\0' && resolved.error == 0) resolved.error = EINVAL;
        if (refuse_for_file) resolved.error = file_error;
    } else {
        resolved.error = refuse_for_file ? file_error : EINVAL;
        resolved.zone = UtcNamedAfter(name);
    }
    if (resolved.error != 0 && onFailure == OnFailure::kRefuse) resolved.zone.reset();
    resolved.followed |= resolved.may_pass;
    return resolved;
}

}  // namespace

Resolution Resolve(const char* value, const char* directory, OnFailure onFailure) {
    try {
        return ResolveValue(value, directory, onFailure);
    } catch (const std::bad_alloc&) {
        Resolution failed;
        failed.error = ENOMEM;
        failed.may_pass = true;
        return failed;
    }
}

const char* ZoneDirectory() {
    const char* directory = std::getenv("TZDIR");
    return directory != nullptr && *directory != '\0' ? directory : kSystemZoneDirectory;
}

bool CLibraryMayRead(const char* value) {
    // A file may be opened unless it is a FIFO, a device or a socket.
    const auto may_open = [](const std::string& path) {
        struct stat status;
        return stat(path.c_str(), &status) != 0 || S_ISREG(status.st_mode) ||
               S_ISDIR(status.st_mode);
    };
    try {
        const char* name = value == nullptr ? kLocalTimeFile : value + (*value == ':');
        if (*name == '\0') return true;
        const char* directory = ZoneDirectory();
        if (!may_open(FileOf(value, directory))) return false;
        Rule rule;
        const bool opens_posixrules =
            ParseRule(name, &rule) != nullptr && !rule.has_dates && !rule.daylight_name.empty();
        return !opens_posixrules || may_open(std::string(directory) + "/posixrules");
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// The value of TZ, or null when it is unset: the entry that getenv would find,
// looked for afresh at every call, since a program may rebuild its
// environment in any way between two calls.
const char* ReadTz() {
    char** entry = environ;
    if (entry == nullptr) return nullptr;
    for (; *entry != nullptr; ++entry) {
        const char* text = *entry;
        if (text[0] == 'T' && text[1] == 'Z' && text[2] == '=') return text + 3;
    }
    return nullptr;
}

// Memory that is never given back, handed out in pieces: the keys of the
// values that TZ has had cost their own bytes and little more.
class Arena {
  public:
    // Throws std::bad_alloc.
    void* Allocate(std::size_t size) {
        size = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
        if (size > left_) {
            const std::size_t chunk = std::max(size, kChunk);
            next_ = static_cast<char*>(::operator new(chunk));
            left_ = chunk;
        }
        void* piece = next_;
        next_ += size;
        left_ -= size;
        return piece;
    }

  private:
    static constexpr std::size_t kChunk = 64 * 1024;
    char* next_ = nullptr;
    std::size_t left_ = 0;
};

constexpr std::int64_t kNotFollowed = INT64_MAX;

// One value that TZ has had in this process, and its zone.
struct TzEntry {
    const char* value;  // null: TZ unset; immutable
    TzEntry* next;      // in its bucket; written before the entry is shared
    std::atomic<const Zone64*> zone;
    // The coarse clock when the value was last resolved or its file checked;
    // kNotFollowed for values without a file to follow.
    std::atomic<std::int64_t> checked;
    // Guarded by the cache's mutex:
    const char* directory;  // what names were resolved under
    FileIdentity file;
    bool may_pass;

    bool Holds(const char* tz) const {
        return tz == nullptr ? value == nullptr : value != nullptr && std::strcmp(tz, value) == 0;
    }
};

std::uint64_t HashOf(const char* value) {
    std::uint64_t hash = value == nullptr ? 1 : 14695981039346656037u;
    for (const char* p = value; p != nullptr && *p != '\0'; ++p) {
        hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211u;
    }
    return hash;
}

// A hash of what a zone is, so that equal zones are held once.
std::uint64_t HashOf(const Zone64& zone) {
    std::uint64_t hash = 14695981039346656037u;
    const auto mix = [&hash](std::uint64_t value) { hash = (hash ^ value) * 1099511628211u; };
    for (const Time64 time : zone.transitions) mix(static_cast<std::uint64_t>(time));
    for (const std::uint8_t type : zone.transition_types) mix(type);
    for (const LocalType& type : zone.types)
        mix(static_cast<std::uint64_t>(type.offset) ^ type.name);
    for (const LeapSecond& leap : zone.leap_seconds)
        mix(static_cast<std::uint64_t>(leap.occurrence));
    for (const RuleChange& change : zone.rule.changes) mix(static_cast<std::uint64_t>(change.at));
    mix(static_cast<std::uint64_t>(zone.rule.types[0].offset));
    mix(static_cast<std::uint64_t>(zone.rule.types[1].offset));
    for (const char c : zone.names) mix(static_cast<unsigned char>(c));
    return hash;
}

std::int64_t CoarseNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Every value that TZ has had, and every zone they named. Made once and never
// destroyed: threads hold pointers into it without a lock.
class ZoneCache {
  public:
    static ZoneCache& Get() {
        static ZoneCache* const kCache = new ZoneCache;
        return *kCache;
    }

    // The entry of tz, made if new: 0 or ENOMEM.
    int Find(const char* tz, TzEntry** found);
    // A second, less the coarse clock's step: the time between two checks of
    // a value's file.
    std::int64_t CheckPeriod() const { return check_period_; }
    // Checks the file of entry, last checked at checked, unless another
    // thread does.
    void Check(TzEntry* entry, std::int64_t checked);

  private:
    ZoneCache();
    TzEntry* Lookup(const char* tz, std::uint64_t hash) const BOBBIN_REQUIRES(mutex_);
    // Holds a resolution's zone, or an equal one held before. Throws std::bad_alloc.
    const Zone64* Hold(std::unique_ptr<Zone64> zone) BOBBIN_REQUIRES(mutex_);
    void Install(TzEntry* entry, Resolution* resolved) BOBBIN_REQUIRES(mutex_);
    const char* HoldDirectory(const char* directory) BOBBIN_REQUIRES(mutex_);

    // Guards the members below and the fields of every entry marked so.
    PlatformMutex mutex_ = PTHREAD_MUTEX_INITIALIZER;
    std::vector<TzEntry*> buckets_ BOBBIN_GUARDED_BY(mutex_);
    std::size_t entries_ BOBBIN_GUARDED_BY(mutex_) = 0;
    std::unordered_multimap<std::uint64_t, const Zone64*> zones_ BOBBIN_GUARDED_BY(mutex_);
    std::vector<const char*> directories_ BOBBIN_GUARDED_BY(mutex_);
    Arena arena_ BOBBIN_GUARDED_BY(mutex_);
    std::int64_t check_period_;  // immutable
};

ZoneCache::ZoneCache() : buckets_(64, nullptr) {
    timespec step{0, 10000000};
    clock_getres(CLOCK_MONOTONIC_COARSE, &step);
    check_period_ = 1000000000 - std::min<std::int64_t>(step.tv_nsec, 100000000);
    // A child forked while another thread holds the lock gets it free.
    pthread_atfork([] { pthread_mutex_lock(&Get().mutex_); },
                   [] { pthread_mutex_unlock(&Get().mutex_); },
                   [] { pthread_mutex_unlock(&Get().mutex_); });
}

TzEntry* ZoneCache::Lookup(const char* tz, std::uint64_t hash) const {
    for (TzEntry* entry = buckets_[hash % buckets_.size()]; entry != nullptr; entry = entry->next) {
        if (entry->Holds(tz)) return entry;
    }
    return nullptr;
}

const Zone64* ZoneCache::Hold(std::unique_ptr<Zone64> zone) {
    const std::uint64_t hash = HashOf(*zone);
    const auto equal = zones_.equal_range(hash);
    for (auto held = equal.first; held != equal.second; ++held) {
        if (*held->second == *zone) return held->second;
    }
    zones_.emplace(hash, zone.get());
    return zone.release();
}

const char* ZoneCache::HoldDirectory(const char* directory) {
    for (const char* held : directories_) {
        if (std::strcmp(held, directory) == 0) return held;
    }
    const std::size_t size = std::strlen(directory) + 1;
    auto* copy = static_cast<char*>(arena_.Allocate(size));
    std::memcpy(copy, directory, size);
    directories_.push_back(copy);
    return copy;
}

void ZoneCache::Install(TzEntry* entry, Resolution* resolved) {
    entry->zone.store(Hold(std::move(resolved->zone)), std::memory_order_release);
    entry->file = resolved->file;
    entry->may_pass = resolved->may_pass;
}

int ZoneCache::Find(const char* tz, TzEntry** found) {
    const std::uint64_t hash = HashOf(tz);
    const char* directory = ZoneDirectory();
    {
        MutexHold hold(&mutex_);
        *found = Lookup(tz, hash);
        if (*found != nullptr) return 0;
    }
    // Read without the lock, so that a slow file blocks no other thread; a
    // thread that made the entry meanwhile wins.
    const std::int64_t now = CoarseNow();
    Resolution resolved = Resolve(tz, directory, OnFailure::kFallBack);
    if (resolved.zone == nullptr) return ENOMEM;
    MutexHold hold(&mutex_);
    *found = Lookup(tz, hash);
    if (*found != nullptr) return 0;
    try {
        if (entries_ >= buckets_.size()) {  // rehash into twice the buckets
            std::vector<TzEntry*> more(2 * buckets_.size(), nullptr);
            for (TzEntry* chain : buckets_) {
                while (chain != nullptr) {
                    TzEntry* next = chain->next;
                    TzEntry*& head = more[HashOf(chain->value) % more.size()];
                    chain->next = head;
                    head = chain;
                    chain = next;
                }
            }
            buckets_.swap(more);
        }
        auto* entry = new (arena_.Allocate(sizeof(TzEntry))) TzEntry{};
        if (tz != nullptr) {
            const std::size_t size = std::strlen(tz) + 1;
            auto* value = static_cast<char*>(arena_.Allocate(size));
            std::memcpy(value, tz, size);
            entry->value = value;
        }
        entry->checked.store(resolved.followed ? now : kNotFollowed, std::memory_order_relaxed);
        entry->directory = HoldDirectory(directory);
        Install(entry, &resolved);
        TzEntry*& head = buckets_[hash % buckets_.size()];
        entry->next = head;
        head = entry;
        ++entries_;
        *found = entry;
        return 0;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

void ZoneCache::Check(TzEntry* entry, std::int64_t checked) {
    if (!entry->checked.compare_exchange_strong(checked, CoarseNow(), std::memory_order_relaxed)) {
        return;  // another thread checks it
    }
    const char* directory;
    FileIdentity before;
    bool may_pass;
    {
        MutexHold hold(&mutex_);
        directory = entry->directory;
        before = entry->file;
        may_pass = entry->may_pass;
    }
    try {
        if (!may_pass) {
            FileIdentity now_file;
            if (IdentityOf(FileOf(entry->value, directory).c_str(), &now_file) != 0 ||
                now_file == before) {
                return;
            }
        }
        Resolution resolved = Resolve(entry->value, directory, OnFailure::kFallBack);
        // A zone read before stays until the file can be read again.
        if (resolved.zone == nullptr || (resolved.may_pass && !may_pass)) return;
        MutexHold hold(&mutex_);
        Install(entry, &resolved);
    } catch (const std::bad_alloc&) {
        // Tried again at the next check.
    }
}

// The entry that the calling thread used last: a plain pointer, so that
// nothing of it is destroyed when the thread ends.
thread_local TzEntry* t_last = nullptr;

}  // namespace

int CurrentZone(const Zone64** zone, const char** value) {
    const char* tz = ReadTz();
    TzEntry* entry = t_last;
    ZoneCache& cache = ZoneCache::Get();
    if (entry == nullptr || !entry->Holds(tz)) {
        if (const int error = cache.Find(tz, &entry)) return error;
        t_last = entry;
    }
    const std::int64_t checked = entry->checked.load(std::memory_order_relaxed);
    if (checked != kNotFollowed && CoarseNow() - checked >= cache.CheckPeriod()) {
        cache.Check(entry, checked);
    }
    *zone = entry->zone.load(std::memory_order_acquire);
    if (value != nullptr) *value = tz;
    return 0;
}

}  // namespace bobbin::detail

Zone64* tzalloc64(const char* name) {
    using bobbin::detail::OnFailure;
    bobbin::detail::Resolution resolved =
        bobbin::detail::Resolve(name != nullptr ? name : std::getenv("TZ"),
                                bobbin::detail::ZoneDirectory(), OnFailure::kRefuse);
    if (resolved.error != 0) {
        errno = resolved.error;
        return nullptr;
    }
    return resolved.zone.release();
}

void tzfree64(Zone64* zone) {
    delete zone;
}
