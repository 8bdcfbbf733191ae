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

#include <atomic>
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
using ::testing::EndsWith;
using ::testing::HasSubstr;
using std::chrono::steady_clock;

const Time64 kSummer = 1782302400;  // 2026-06-24 12:00:00 UTC
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

TEST(ZoneCacheTest, ConversionsWorkFromEveryDestructorAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto stamped = [](const char* when) { return HasSubstr(std::string(when) + " stamped"); };
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
                         ::testing::Not(HasSubstr("failed"))));
}

// Whatever is done to the environment, local time follows the TZ value that
// getenv gives, and reads nothing past the array's end.
TEST(ZoneCacheTest, TzIsReadAsGetenvReadsItWhateverIsDoneToTheEnvironment) {
    static std::vector<char*> saved;  // the environment as it was, restored at the end
    for (char** entry = environ; *entry != nullptr; ++entry) saved.push_back(*entry);
    saved.push_back(nullptr);
    setenv("TZ", "UTC0", 1);
    TM64 noon{0, 0, 12, 24, 5, 126, 0, 0, 0, 0, nullptr};
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
    struct tm theirs {};
    localtime_r(&time, &theirs);
    struct tm ours {};
    ASSERT_NE(fake_localtime_r(&time, &ours), nullptr);
    EXPECT_EQ(Text(ours), Text(theirs)) << "fake_localtime_r";
    environ = saved.data();
}

// A file that could not be opened for want of descriptors: the C library's
// answer meanwhile, the zone itself a second later.
TEST(ZoneCacheTest, AZoneThatCouldNotBeOpenedIsReadAgainASecondLater) {
    TempDirectory directory;
    ASSERT_EQ(symlink((kZones + "America/New_York").c_str(), (directory / "Passing").c_str()), 0);
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

// A zone file replaced on disk, named under TZDIR and by its path, while
// another thread converts and uses a tzalloc64 zone of it: each conversion
// sees the old zone or the new, one that starts a second after the change the
// new; a date converted before and the tzalloc64 zone keep the old.
TEST(ZoneCacheTest, AReplacedZoneFileIsSeenASecondLater) {
    TempDirectory directory;
    setenv("TZDIR", directory.path.c_str(), 1);
    for (const std::string& tz : {std::string("Replaced"), directory / "Replaced"}) {
        std::filesystem::copy_file(kZones + "America/New_York", directory / "Replaced",
                                   std::filesystem::copy_options::overwrite_existing);
        setenv("TZ", tz.c_str(), 1);
        TM64 before{};
        ASSERT_NE(localtime64_r(&kSummer, &before), nullptr);
        ASSERT_STREQ(before.tm_zone, "EDT") << tz;
        Zone64* as_read = tzalloc64(tz.c_str());
        ASSERT_NE(as_read, nullptr);
        std::atomic<bool> stop{false};
        const auto convert = [&](steady_clock::time_point until) {
            int odd = 0;  // conversions that saw neither zone, or a changed tzalloc64 zone
            do {
                const std::string seen = Local();
                TM64 date{};
                const std::string zone = seen.substr(seen.size() - 3);
                odd += zone != "EDT" && zone != "JST";
                odd += localtime64_rz(as_read, &kSummer, &date) == nullptr ||
                       std::strcmp(date.tm_zone, "EDT") != 0;
            } while (!stop && steady_clock::now() < until);
            return odd;
        };
        auto other = std::async(std::launch::async, convert, steady_clock::time_point::max());
        std::filesystem::copy_file(kZones + "Asia/Tokyo", directory / "next");
        std::filesystem::rename(directory / "next", directory / "Replaced");
        EXPECT_EQ(convert(steady_clock::now() + std::chrono::seconds(1)), 0) << tz;
        EXPECT_THAT(Local(), EndsWith("32400 JST")) << tz;
        stop = true;
        EXPECT_EQ(other.get(), 0) << tz << " on a second thread";
        EXPECT_STREQ(before.tm_zone, "EDT") << "a date converted before the change";
        tzfree64(as_read);
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
        ASSERT_EQ(symlink((kZones + "Europe/Berlin").c_str(), (directory / std::to_string(i)).c_str()), 0);
    }
    static char entry[128] = "TZ=UTC0";  // rewritten in place: the environment does not grow
    putenv(entry);
    // Digit d of i in base 6 as a width of one to six digits: a rule's six
    // numbers with leading zeros.
    const auto width = [](int i, int d) {
        for (; d > 0; --d) i /= 6;
        return i % 6 + 1;
    };
    for (const bool rule : {false, true}) {
        const std::size_t before = AllocatedBytes();
        for (int i = 0; i < kSpellings; ++i) {
            if (rule) {
                std::snprintf(entry, sizeof entry, "TZ=CET-%0*dCEST-%0*d,M%0*d.%0*d.0/%0*d,M10.5.%0*d/3",
                              width(i, 0), 1, width(i, 1), 2, width(i, 2), 3, width(i, 3), 5,
                              width(i, 4), 2, width(i, 5), 0);
            } else {
                std::snprintf(entry, sizeof entry, "TZ=%s/%d", directory.path.c_str(), i);
            }
            ASSERT_THAT(Local(), EndsWith("7200 CEST")) << entry;
        }
        const std::size_t grown = AllocatedBytes() - before;
        EXPECT_LT(grown, std::size_t{3} << 20) << kSpellings << (rule ? " rules" : " paths");
        std::printf("%d %s: %zu bytes a value\n", kSpellings, rule ? "rules" : "paths",
                    grown / kSpellings);
    }
    unsetenv("TZ");
}

// A FIFO named by TZ or in the place of posixrules blocks no conversion, also
// where the C library is asked to read TZ again; tzalloc64 refuses a value
// whose file is no zone, with the reason; an empty value is UTC, as in TZ.
TEST(ZoneCacheTest, NoFileThatIsNoZoneBlocksOrIsTakenForOne) {
    TempDirectory directory;
    const std::string fifo = directory / "posixrules";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("TZDIR", directory.path.c_str(), 1);
    for (const char* tz : {fifo.c_str(), "QQQ3RRR"}) {
        setenv("TZ", tz, 1);
        auto done = std::async(std::launch::async, [] {
            return localtime64(&kSummer) != nullptr && ctime64(&kSummer) != nullptr;
        });
        const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        if (!returned) close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // unblock the reader
        EXPECT_TRUE(returned) << tz;
        EXPECT_TRUE(done.get()) << tz;
    }
    unsetenv("TZDIR");
    const struct {
        const char* name;
        int error;
    } kRefusals[] = {{"right", EINVAL},  // a directory under the zone directory
                     {fifo.c_str(), EINVAL},
                     {"/nonexistent/zone", ENOENT},
                     {"/proc/self/mem", EIO}};
    for (const auto& refusal : kRefusals) {
        errno = 0;
        EXPECT_EQ(tzalloc64(refusal.name), nullptr) << refusal.name;
        EXPECT_EQ(errno, refusal.error) << refusal.name;
    }
    for (const char* empty : {"", ":"}) {
        Zone64* utc = tzalloc64(empty);
        TM64 date{};
        ASSERT_NE(utc, nullptr) << "'" << empty << "'";
        ASSERT_NE(localtime64_rz(utc, &kSummer, &date), nullptr);
        EXPECT_THAT(Text(date), EndsWith(" 0 UTC")) << "'" << empty << "'";
        tzfree64(utc);
    }
    tzfree64(nullptr);  // does nothing
    setenv("TZ", "UTC0", 1);
}

// In a set-user-ID process only what the C library reads there is read: no
// path outside the zone directory, no "../". Needs root to start one.
TEST(ZoneCacheTest, ASetUserIdProcessReadsOnlyWhatTheCLibraryReads) {
    if (const char* secret = std::getenv("BOBBIN_SECRET_ZONE")) {  // the set-user-ID process
        ASSERT_NE(getauxval(AT_SECURE), 0u);
        const struct {
            const char* tz;
            const char* zone;
        } kCases[] = {{secret, ""},
                      {"Asia/../Asia/Tokyo", "Asia"},
                      {"/usr/share/zoneinfo/../zoneinfo/Asia/Tokyo", ""},
                      {"/usr/share/zoneinfo/Asia/Tokyo", "JST"},
                      {"Asia/Tokyo", "JST"},
                      {"/etc/localtime", "UTC"}};
        for (const auto& c : kCases) {
            setenv("TZ", c.tz, 1);
            EXPECT_THAT(Local(), EndsWith(std::string(" ") + c.zone)) << c.tz;
            EXPECT_EQ(Local(), TheirLocal()) << c.tz;
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
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // real user nobody, effective root: the kernel marks the exec secure
        setenv("BOBBIN_SECRET_ZONE", secret.c_str(), 1);
        if (setresuid(65534, 0, 0) == 0) execl("/proc/self/exe", "time_test", filter.c_str(), nullptr);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
