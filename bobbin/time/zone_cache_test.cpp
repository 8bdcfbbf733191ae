// The zone that TZ names over a process's life: at exit, with the environment rebuilt, with
// errors that pass, replaced on disk, in a set-user-ID process, over many spellings.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' allocator, which g++ has no header for.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace {

using bobbin::testing::Date;
using bobbin::testing::kSummer;
using bobbin::testing::TempDirectory;
using bobbin::testing::Text;
using std::chrono::steady_clock;
using ::testing::EndsWith;

const std::string kZones = "/usr/share/zoneinfo/";

std::string Local() {
    TM64 date{};
    return localtime64_r(&kSummer, &date) != nullptr ? Text(date) : "refused";
}

// The C library's local time, which reads TZ with getenv.
std::string TheirLocal() {
    tzset();
    const time_t time = kSummer;
    struct tm date {};
    return localtime_r(&time, &date) != nullptr ? Text(date) : "refused";
}

// Whether local time converts, as a logger's line.
void Stamp(const char* when) {
    TM64 date{};
    char text[35];
    const bool stamped = localtime64_r(&kSummer, &date) != nullptr && mktime64(&date) == kSummer &&
                         ctime64_r(&kSummer, text) != nullptr;
    std::fprintf(stderr, "%s %s\n", when, stamped ? "stamped" : "failed");
}

// A logger that stamps its last line as it is destroyed.
struct StampWhenDestroyed {
    const char* when;
    ~StampWhenDestroyed() { Stamp(when); }
};

// Each stamp, in the order of destruction (a thread's at its end).
TEST(ZoneCacheTest, ConversionsWorkFromEveryDestructorAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv("TZ", "America/Argentina/Buenos_Aires", 1);  // longer than a short string
            static StampWhenDestroyed made_before_any_conversion{"static"};
            std::atexit([] { Stamp("atexit"); });
            std::thread([] {
                thread_local StampWhenDestroyed before{"thread_local before"};
                Stamp("thread");
                thread_local StampWhenDestroyed after{"thread_local after"};
            }).join();
            thread_local StampWhenDestroyed main_thread{"main thread_local"};
            Stamp("main");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "thread stamped\nthread_local after stamped\nthread_local before stamped\nmain stamped\n"
        "main thread_local stamped\natexit stamped\nstatic stamped\n");
}

// Whatever is done to the environment, local time follows the TZ value that
// getenv gives, and reads nothing past the array's end.
TEST(ZoneCacheTest, TzIsReadAsGetenvReadsItWhateverIsDoneToTheEnvironment) {
    static std::vector<char*> saved;  // the environment as it was, restored at the end
    for (char** entry = environ; *entry != nullptr; ++entry) saved.push_back(*entry);
    saved.push_back(nullptr);
    setenv("TZ", "UTC0", 1);
    TM64 noon = Date(126, 5, 24, 12);
    mktime(&noon);  // other code's timegm
    setenv("TZ", "America/New_York", 1);
    EXPECT_EQ(Local(), TheirLocal()) << "TZ switched and back around the C library's mktime";
    static char entry[] = "TZ=UTC0";
    unsetenv("TZ");
    setenv("BOBBIN_BEFORE_TZ", "1", 1);
    putenv(entry);
    EXPECT_EQ(Local(), TheirLocal()) << "putenv";
    unsetenv("BOBBIN_BEFORE_TZ");
    std::memcpy(entry, "TZ=EST5", sizeof entry);
    EXPECT_EQ(Local(), TheirLocal()) << "TZ's entry moved and rewritten in place";
    std::memcpy(entry, "TX=EST5", sizeof entry);
    EXPECT_EQ(Local(), TheirLocal()) << "TZ's entry renamed in place";
    // An array of the program's own, then the same memory rebuilt shorter:
    // the old TZ entry is left past the new terminator.
    static char tokyo[] = "TZ=Asia/Tokyo";
    static char* array[] = {const_cast<char*>("A=1"), const_cast<char*>("B=2"), tokyo, nullptr};
    environ = array;
    EXPECT_EQ(Local(), TheirLocal()) << "an array of the program's";
    array[1] = nullptr;
    EXPECT_EQ(Local(), TheirLocal()) << "the array rebuilt shorter in the same memory";
    clearenv();
    EXPECT_EQ(Local(), TheirLocal()) << "clearenv";
    const time_t time = kSummer;
    struct tm date {};
    EXPECT_EQ(fake_localtime_r(&time, &date) ? Text(date) : "refused", TheirLocal());
    environ = saved.data();
}

// A file that could not be read for a reason that may pass (no descriptor
// free, a symbolic-link loop mended later): the C library's answer meanwhile,
// the zone itself a second later.
TEST(ZoneCacheTest, AZoneThatCouldNotBeReadIsReadAgainASecondLater) {
    TempDirectory directory;
    setenv("TZDIR", directory.path.c_str(), 1);
    const std::string new_york = kZones + "America/New_York", loop = directory / "Loop";
    ASSERT_EQ(symlink(new_york.c_str(), (directory / "Passing").c_str()), 0);
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none{0, saved.rlim_max};
    for (const std::string tz : {"Passing", "Loop"}) {
        setenv("TZ", tz.c_str(), 1);
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, tz == "Passing" ? &none : &saved), 0);
        const std::string meanwhile = Local();
        const std::string theirs = TheirLocal();
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(meanwhile, theirs) << tz << ": the C library's answer meanwhile";
        if (tz == "Loop") {  // mended
            ASSERT_EQ(rename((directory / "Passing").c_str(), loop.c_str()), 0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        TM64 date{};
        ASSERT_NE(localtime64_r(&kSummer, &date), nullptr);
        EXPECT_STREQ(date.tm_zone, "EDT") << tz << ": read again once it can be";
        date.tm_isdst = -1;
        EXPECT_EQ(mktime64(&date), kSummer);
    }
    unsetenv("TZDIR");
}

// A zone file replaced on disk, named under TZDIR and by its path, while
// another thread converts and uses a tzalloc64 zone of it: each conversion
// sees the old zone or the new, one that starts a second after the change the
// new; a date converted before and the tzalloc64 zone keep the old.
TEST(ZoneCacheTest, AReplacedZoneFileIsSeenASecondLater) {
    TempDirectory directory;
    setenv("TZDIR", directory.path.c_str(), 1);
    // Renamed over, under a name and by path; rewritten in place with its times
    // kept (as cp -p does).
    for (const std::string& tz : {std::string("Replaced"), directory / "Replaced", std::string()}) {
        const bool in_place = tz.empty();
        const std::string path = directory / (in_place ? "Etc" : "Replaced");
        std::filesystem::copy_file(kZones + (in_place ? "Etc/GMT+4" : "America/New_York"), path,
                                   std::filesystem::copy_options::overwrite_existing);
        const std::string old_zone = in_place ? "-04" : "EDT", new_zone = in_place ? "-09" : "JST";
        setenv("TZ", in_place ? path.c_str() : tz.c_str(), 1);
        TM64 before{};
        ASSERT_NE(localtime64_r(&kSummer, &before), nullptr);
        ASSERT_EQ(before.tm_zone, old_zone) << path;
        Zone64* as_read = tzalloc64(std::getenv("TZ"));
        ASSERT_NE(as_read, nullptr);
        std::atomic<bool> stop{false};
        const auto convert = [&](steady_clock::time_point until) {
            int odd = 0;  // conversions that saw neither zone, or a changed tzalloc64 zone
            do {
                const std::string seen = Local();
                TM64 date{};
                const std::string zone = seen.substr(seen.size() - 3);
                odd += zone != old_zone && zone != new_zone;
                odd +=
                    localtime64_rz(as_read, &kSummer, &date) == nullptr || date.tm_zone != old_zone;
            } while (!stop && steady_clock::now() < until);
            return odd;
        };
        auto other = std::async(std::launch::async, convert, steady_clock::time_point::max());
        struct stat file {};
        ASSERT_EQ(stat(path.c_str(), &file), 0);
        if (in_place) {  // the same size and times, other offsets
            std::filesystem::copy_file(kZones + "Etc/GMT+9", path,
                                       std::filesystem::copy_options::overwrite_existing);
            const timespec times[2] = {file.st_atim, file.st_mtim};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        } else {
            std::filesystem::copy_file(kZones + "Asia/Tokyo", directory / "next");
            std::filesystem::rename(directory / "next", path);
        }
        EXPECT_EQ(convert(steady_clock::now() + std::chrono::seconds(1)), 0) << path;
        EXPECT_THAT(Local(), EndsWith(new_zone)) << path;
        stop = true;
        EXPECT_EQ(other.get(), 0) << path << " on a second thread";
        EXPECT_EQ(before.tm_zone, old_zone) << "a date converted before the change";
        tzfree64(as_read);
    }
    unsetenv("TZDIR");
}

// The bytes that malloc holds now.
std::size_t AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;  // also the blocks mapped on their own
#endif
}

// 20,000 paths of one zone file, and 20,000 spellings of one rule, hold one
// zone; each value costs a small key.
TEST(ZoneCacheTest, SpellingsOfOneZoneShareIt) {
    TempDirectory directory;
    constexpr int kSpellings = 20000;
    const std::string berlin = kZones + "Europe/Berlin";
    for (int i = 0; i < kSpellings; ++i) {
        ASSERT_EQ(symlink(berlin.c_str(), (directory / std::to_string(i)).c_str()), 0);
    }
    static char entry[128] = "TZ=UTC0";  // rewritten in place: the environment does not grow
    putenv(entry);
    // Each value, then every 50th again, which costs nothing more.
    constexpr int kAgain = kSpellings + kSpellings / 50;
    for (const bool rule : {false, true}) {
        const std::size_t before = AllocatedBytes();
        std::size_t held = 0;
        for (int n = 0; n < kAgain; ++n) {
            const int i = n < kSpellings ? n : (n - kSpellings) * 50;
            if (n == kSpellings) held = AllocatedBytes();
            if (rule) {  // the rule's six numbers with one to six digits each: i in base 6
                std::snprintf(entry, sizeof entry,
                              "TZ=CET-%0*dCEST-%0*d,M%0*d.%0*d.0/%0*d,M10.5.%0*d/3", i % 6 + 1, 1,
                              i / 6 % 6 + 1, 2, i / 36 % 6 + 1, 3, i / 216 % 6 + 1, 5,
                              i / 1296 % 6 + 1, 2, i / 7776 % 6 + 1, 0);
            } else {
                std::snprintf(entry, sizeof entry, "TZ=%s/%d", directory.path.c_str(), i);
            }
            ASSERT_THAT(Local(), EndsWith("7200 CEST")) << entry;
        }
        const std::size_t grown = held - before;
        EXPECT_LT(grown, std::size_t{4} << 20) << kSpellings << (rule ? " rules" : " paths");
        EXPECT_LT(AllocatedBytes() - held, 4096u) << "values seen before were held again";
        std::printf("%d %s: %zu bytes a value\n", kSpellings, rule ? "rules" : "paths",
                    grown / kSpellings);
    }
    unsetenv("TZ");
}

// A FIFO named by TZ or in the place of posixrules, there from the start or
// put there after a first conversion, blocks no conversion, also where the C
// library is asked to read TZ again, and is no zone for tzalloc64.
TEST(ZoneCacheTest, NoFifoBlocksOrIsTakenForAZone) {
    TempDirectory directory;
    setenv("TZDIR", directory.path.c_str(), 1);
    for (const bool after_first_use : {false, true}) {
        // Values new to the process in each round.
        for (const char* tz :
             {after_first_use ? "Later" : "Named", after_first_use ? "QQQ4RRR" : "QQQ3RRR"}) {
            const std::string fifo = directory / (*tz == 'Q' ? "posixrules" : tz);
            setenv("TZ", tz, 1);
            if (after_first_use) {  // and after another value, so the C library rereads
                std::filesystem::copy_file(kZones + "America/New_York", fifo);
                ASSERT_NE(localtime64(&kSummer), nullptr);
                std::filesystem::remove(fifo);
                setenv("TZ", "UTC0", 1);
                ASSERT_NE(localtime64(&kSummer), nullptr);
                setenv("TZ", tz, 1);
            }
            ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
            auto done = std::async(std::launch::async, [] {
                return localtime64(&kSummer) != nullptr && ctime64(&kSummer) != nullptr;
            });
            const bool returned =
                done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
            if (!returned) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblock it
            EXPECT_TRUE(returned) << tz << (after_first_use ? " after first use" : "");
            EXPECT_TRUE(done.get()) << tz;
            errno = 0;
            EXPECT_EQ(tzalloc64(fifo.c_str()), nullptr);
            EXPECT_EQ(errno, EINVAL) << "tzalloc64 of a FIFO";
            std::filesystem::remove(fifo);
        }
    }
    unsetenv("TZDIR");
    setenv("TZ", "UTC0", 1);
}

// A thread cancelled before it converts in a zone new to it converts, and acts
// on the cancellation at its next cancellation point, leaving no descriptor.
TEST(ZoneCacheTest, ACancelledThreadConvertsAndLeavesNoDescriptorOpen) {
    const auto descriptors = [] {
        const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(begin(entries), end(entries));
    };
    const auto before = descriptors();
    static std::atomic<bool> converted{false};
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void*) -> void* {
                      pthread_cancel(pthread_self());
                      TM64 date{};
                      const ZoneHandle zone = ZoneHandle::Alloc("Asia/Kolkata");
                      setenv("TZ", "Asia/Kathmandu", 1);
                      converted = zone && localtime64_rz(zone.Get(), &kSummer, &date) &&
                                  localtime64_r(&kSummer, &date);
                      pthread_testcancel();
                      return nullptr;
                  },
                  nullptr),
              0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_TRUE(converted);
    EXPECT_EQ(descriptors(), before);
}

// In a set-user-ID process only what the C library reads there is read: no
// path outside the zone directory, no "../". Needs root to start one.
TEST(ZoneCacheTest, ASetUserIdProcessReadsOnlyWhatTheCLibraryReads) {
    if (const char* secret = std::getenv("BOBBIN_SECRET_ZONE")) {  // the set-user-ID process
        ASSERT_NE(getauxval(AT_SECURE), 0u);
        const char* const kCases[][2] = {{secret, ""},  // a TZ value, its zone's name
                                         {"Asia/../Asia/Tokyo", "Asia"},
                                         {"/usr/share/zoneinfo/../zoneinfo/Asia/Tokyo", ""},
                                         {"/usr/share/zoneinfo/Asia/Tokyo", "JST"},
                                         {"Asia/Tokyo", "JST"},
                                         {"/etc/localtime", "UTC"}};
        for (const auto& [tz, zone] : kCases) {
            setenv("TZ", tz, 1);
            EXPECT_THAT(Local(), EndsWith(std::string(" ") + zone)) << tz;
            EXPECT_EQ(Local(), TheirLocal()) << tz;
        }
        errno = 0;
        EXPECT_EQ(tzalloc64(secret), nullptr);
        EXPECT_EQ(errno, EACCES);
        return;
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a set-user-ID process";
    TempDirectory directory;
    const std::string secret = directory / "secret";
    std::filesystem::copy_file(kZones + "Asia/Tokyo", secret);
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    const std::string filter = "--gtest_filter=*.ASetUserIdProcess*";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // real user nobody, effective root: the kernel marks the exec secure
        setenv("BOBBIN_SECRET_ZONE", secret.c_str(), 1);
        if (setresuid(65534, 0, 0) == 0)
            execl("/proc/self/exe", "time_test", filter.c_str(), nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
