// The zone that TZ names, over a process's life: at exit, with the environment
// rebuilt, with errors that pass, in a set-user-ID process, over many
// spellings, and with zone files replaced on disk.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "bobbin/time/time64.h"
#include "bobbin/time/time_test_support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/allocator_interface.h>
#endif

namespace {

using bobbin::testing::TempDirectory;
using bobbin::testing::Text;
using std::chrono::steady_clock;

const Time64 kSummer = 1782302400;  // 2026-06-24 12:00:00 UTC
const char kZones[] = "/usr/share/zoneinfo/";

std::string Local(Time64 time = kSummer) {
    TM64 date{};
    return localtime64_r(&time, &date) != nullptr ? Text(date) : "refused";
}

// The C library's local time, which reads TZ with getenv.
std::string TheirLocal(Time64 time = kSummer) {
    tzset();
    const time_t platform_time = time;
    struct tm date {};
    return localtime_r(&platform_time, &date) != nullptr ? Text(date) : "refused";
}

void Stamp(const char* when) {
    const Time64 time = kSummer;
    TM64 date{};
    char text[35];
    const bool stamped = localtime64_r(&time, &date) != nullptr && mktime64(&date) == time &&
                         ctime64_r(&time, text) != nullptr;
    std::fprintf(stderr, "%s %s\n", when, stamped ? "stamped" : "failed");
}

// A logger that stamps its last line as it is destroyed.
struct StampWhenDestroyed {
    const char* when;
    ~StampWhenDestroyed() { Stamp(when); }
};

TEST(ZoneCacheTest, ConversionsWorkFromEveryDestructorAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto stamped = [](const char* when) {
        return ::testing::HasSubstr(std::string(when) + " stamped");
    };
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
        ::testing::AllOf(stamped("thread_local before"), stamped("thread_local after"),
                         stamped("main thread_local"), stamped("atexit"), stamped("static"),
                         ::testing::Not(::testing::HasSubstr("failed"))));
}

// Whatever is done to the environment, local time follows the TZ value that
// getenv gives, and reads nothing past the array's end.
TEST(ZoneCacheTest, TzIsReadAsGetenvReadsItWhateverIsDoneToTheEnvironment) {
    static std::vector<char*> saved;  // the environment as it was, restored at the end
    for (char** entry = environ; *entry != nullptr; ++entry) saved.push_back(*entry);
    saved.push_back(nullptr);

    setenv("TZ", "America/New_York", 1);
    ASSERT_EQ(Local(), TheirLocal()) << "setenv";
    setenv("TZ", "UTC0", 1);
    TM64 utc{0, 0, 12, 24, 5, 126, 0, 0, 0, 0, nullptr};
    mktime(&utc);  // other code's timegm
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
    array[0] = const_cast<char*>("HOME=/");
    array[1] = nullptr;
    EXPECT_EQ(Local(), TheirLocal()) << "the array rebuilt shorter in the same memory";
    clearenv();
    EXPECT_EQ(Local(), TheirLocal()) << "clearenv";
    struct tm theirs {};
    const time_t platform_time = kSummer;
    tzset();
    localtime_r(&platform_time, &theirs);
    struct tm ours {};
    ASSERT_NE(fake_localtime_r(&platform_time, &ours), nullptr);
    EXPECT_EQ(Text(ours), Text(theirs)) << "fake_localtime_r";
    environ = saved.data();
}

// A file that could not be opened for want of descriptors: the C library's
// answer meanwhile, the zone itself a second later.
TEST(ZoneCacheTest, AZoneThatCouldNotBeOpenedIsReadAgainASecondLater) {
    TempDirectory directory;
    ASSERT_EQ(symlink("/usr/share/zoneinfo/America/New_York", (directory / "Passing").c_str()), 0);
    setenv("TZDIR", directory.path.c_str(), 1);
    setenv("TZ", "Passing", 1);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const std::string meanwhile = Local();
    const std::string theirs = TheirLocal();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(meanwhile, theirs) << "the C library's answer while no descriptor is free";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    TM64 date{};
    ASSERT_NE(localtime64_r(&kSummer, &date), nullptr);
    EXPECT_STREQ(date.tm_zone, "EDT") << "read again once descriptors are free";
    date.tm_isdst = -1;
    EXPECT_EQ(mktime64(&date), kSummer);
    unsetenv("TZDIR");
}

// A zone file replaced on disk, named by a name under TZDIR and by its path:
// seen by every conversion that starts a second after the change; a date
// converted before keeps its abbreviation.
TEST(ZoneCacheTest, AReplacedZoneFileIsSeenASecondLater) {
    TempDirectory directory;
    setenv("TZDIR", directory.path.c_str(), 1);
    for (const std::string& tz : {std::string("Replaced"), directory / "Replaced"}) {
        std::filesystem::copy_file(std::string(kZones) + "America/New_York",
                                   directory / "Replaced",
                                   std::filesystem::copy_options::overwrite_existing);
        setenv("TZ", tz.c_str(), 1);
        TM64 before{};
        ASSERT_NE(localtime64_r(&kSummer, &before), nullptr);
        ASSERT_STREQ(before.tm_zone, "EDT") << tz;
        std::filesystem::copy_file(std::string(kZones) + "Asia/Tokyo", directory / "next");
        std::filesystem::rename(directory / "next", directory / "Replaced");
        const auto changed = steady_clock::now();
        while (steady_clock::now() < changed + std::chrono::seconds(1)) {
            const std::string seen = Local();
            EXPECT_THAT(seen, ::testing::AnyOf(::testing::EndsWith("EDT"),
                                               ::testing::EndsWith("JST")));
        }
        EXPECT_THAT(Local(), ::testing::EndsWith("32400 JST")) << tz;
        EXPECT_STREQ(before.tm_zone, "EDT") << "a date converted before the change";
    }
    unsetenv("TZDIR");
}

// The bytes that malloc holds now.
std::size_t AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// 20,000 paths of one zone file, and 20,000 spellings of one rule, hold one
// zone; each value costs a small key.
TEST(ZoneCacheTest, SpellingsOfOneZoneShareIt) {
    TempDirectory directory;
    constexpr int kSpellings = 20000;
    for (int i = 0; i < kSpellings; ++i) {
        const std::string link = directory / std::to_string(i);
        ASSERT_EQ(symlink("/usr/share/zoneinfo/Europe/Berlin", link.c_str()), 0);
    }
    static char entry[128];  // TZ rewritten in place: the environment itself does not grow
    std::snprintf(entry, sizeof entry, "TZ=UTC0");
    putenv(entry);
    // Digit d of i in base 6, as a width of one to six digits.
    const auto width = [](int i, int d) {
        for (; d > 0; --d) i /= 6;
        return i % 6 + 1;
    };
    const auto spell = [&](int i, bool rule) {
        if (!rule) return std::snprintf(entry, sizeof entry, "TZ=%s/%d", directory.path.c_str(), i);
        return std::snprintf(entry, sizeof entry,
                             "TZ=CET-%0*dCEST-%0*d,M%0*d.%0*d.0/%0*d,M10.5.%0*d/3", width(i, 0), 1,
                             width(i, 1), 2, width(i, 2), 3, width(i, 3), 5, width(i, 4), 2,
                             width(i, 5), 0);
    };
    for (const bool rule : {false, true}) {
        const std::size_t before = AllocatedBytes();
        for (int i = 0; i < kSpellings; ++i) {
            spell(i, rule);
            ASSERT_THAT(Local(), ::testing::EndsWith("7200 CEST")) << entry;
        }
        const std::size_t grown = AllocatedBytes() - before;
        EXPECT_LT(grown, std::size_t{3} << 20) << kSpellings << (rule ? " rules" : " paths");
        std::printf("%d %s: %zu bytes a value\n", kSpellings, rule ? "rules" : "paths",
                    grown / kSpellings);
    }
    unsetenv("TZ");
}

// Neither a FIFO named by TZ nor one in the place of posixrules blocks local
// time, also where the C library is asked to read TZ again.
TEST(ZoneCacheTest, NothingBlocksOnAFifo) {
    TempDirectory directory;
    const std::string fifo = directory / "posixrules";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("TZDIR", directory.path.c_str(), 1);
    for (const char* tz : {fifo.c_str(), "QQQ3RRR"}) {
        setenv("TZ", tz, 1);
        auto done = std::async(std::launch::async, [] {
            const Time64 time = kSummer;
            return localtime64(&time) != nullptr && ctime64(&time) != nullptr;
        });
        const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!returned) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblock the reader
        EXPECT_TRUE(returned) << tz;
        EXPECT_TRUE(done.get()) << tz;
    }
    unsetenv("TZDIR");
    setenv("TZ", "UTC0", 1);
}

// tzalloc64 refuses a value whose file is no zone, with the reason; an empty
// value is UTC, as in TZ.
TEST(ZoneCacheTest, TzallocReportsWhyItRefusesAFile) {
    TempDirectory directory;
    const std::string fifo = directory / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        const char* name;
        int error;
    };
    const Case kCases[] = {{"right", EINVAL},  // a directory under the zone directory
                           {fifo.c_str(), EINVAL},
                           {"/nonexistent/zone", ENOENT},
                           {"/proc/self/mem", EIO}};
    for (const Case& c : kCases) {
        errno = 0;
        EXPECT_EQ(tzalloc64(c.name), nullptr) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
    }
    for (const char* empty : {"", ":"}) {
        Zone64* utc = tzalloc64(empty);
        ASSERT_NE(utc, nullptr) << "'" << empty << "'";
        TM64 date{};
        ASSERT_NE(localtime64_rz(utc, &kSummer, &date), nullptr);
        EXPECT_THAT(Text(date), ::testing::EndsWith(" 0 UTC")) << "'" << empty << "'";
        tzfree64(utc);
    }
    tzfree64(nullptr);  // does nothing
}

// In a set-user-ID process only what the C library reads there is read: no
// path outside the zone directory, no "../". Needs root to start one.
TEST(ZoneCacheTest, ASetUserIdProcessReadsOnlyWhatTheCLibraryReads) {
    const char* secret = std::getenv("BOBBIN_SECRET_ZONE");
    if (secret != nullptr) {  // the set-user-ID process
        ASSERT_NE(getauxval(AT_SECURE), 0u);
        struct Case {
            const char* tz;
            const char* zone;
        };
        const Case kCases[] = {{secret, ""},
                               {"Asia/../Asia/Tokyo", "Asia"},
                               {"/usr/share/zoneinfo/../zoneinfo/Asia/Tokyo", ""},
                               {"/usr/share/zoneinfo/Asia/Tokyo", "JST"},
                               {"Asia/Tokyo", "JST"},
                               {"/etc/localtime", "UTC"}};
        for (const Case& c : kCases) {
            setenv("TZ", c.tz, 1);
            EXPECT_THAT(Local(), ::testing::EndsWith(std::string(" ") + c.zone)) << c.tz;
            EXPECT_EQ(Local(), TheirLocal()) << c.tz;
        }
        errno = 0;
        EXPECT_EQ(tzalloc64(secret), nullptr);
        EXPECT_EQ(errno, EACCES);
        return;
    }
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a set-user-ID process";
    TempDirectory directory;
    const std::string secret_zone = directory / "secret";
    std::filesystem::copy_file(std::string(kZones) + "Asia/Tokyo", secret_zone);
    ASSERT_EQ(chmod(secret_zone.c_str(), 0600), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Real user nobody, effective root: the kernel marks the exec secure.
        setenv("BOBBIN_SECRET_ZONE", secret_zone.c_str(), 1);
        if (setresuid(65534, 0, 0) != 0) _exit(2);
        const std::string filter = "--gtest_filter=" + std::string(::testing::UnitTest::GetInstance()
                                                                       ->current_test_info()
                                                                       ->test_suite_name()) +
                                   "." + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        execl("/proc/self/exe", "zone_cache_test", filter.c_str(), nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
