// bobbin's calendar conversions beside the C library's on the same inputs,
// in six ranges of years and two zones, and local conversions on two threads
// beside one. After the table it prints the ratio bobbin / C library of each
// pair (medians when run with repetitions).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bobbin/time/internal/range.h"
#include "bobbin/time/time64.h"

namespace {

// Inputs spread over two years from the start of each range; "end" holds the
// last two years that tm_year holds.
struct Range {
    const char* name;
    std::int64_t year;  // 0: the end of the range
};
const Range kRanges[] = {{"now", 2026},      {"2400", 2400},      {"+1e6", 1000000},
                         {"-1e6", -1000000}, {"2e9", 2000000000}, {"end", 0}};
const char* const kZones[] = {"UTC0", "America/New_York"};

constexpr std::size_t kInputs = 256;
constexpr Time64 kSpan = 2 * 365 * 86400;

std::vector<Time64> Times(std::int64_t year) {
    TM64 first{};
    first.tm_year = static_cast<int>(year - 1900);
    first.tm_mday = 1;
    const Time64 start = year != 0 ? timegm64(&first) : bobbin::detail::kLastTime - kSpan;
    std::mt19937_64 engine(static_cast<std::uint64_t>(year));
    std::uniform_int_distribution<Time64> offset(0, kSpan);
    std::vector<Time64> times(kInputs);
    for (Time64& time : times) time = start + offset(engine);
    return times;
}

// How mktime's input is made: the date as converted (tm_isdst and tm_gmtoff
// set), or built from scratch with tm_gmtoff 0 and tm_isdst -1 or as
// converted.
enum class Made { kConverted, kScratch, kScratchIsdst, kUtc };
const char* const kMadeSuffix[] = {"", "/scratch", "/scratch_isdst", ""};

// The same moments as UTC dates (for timegm) or local dates (for mktime).
std::vector<TM64> Dates(const std::vector<Time64>& times, Made made) {
    std::vector<TM64> dates(times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (made == Made::kUtc) {
            gmtime64_r(&times[i], &dates[i]);
            continue;
        }
        localtime64_r(&times[i], &dates[i]);
        if (made == Made::kConverted) continue;
        TM64 scratch{};
        scratch.tm_year = dates[i].tm_year;
        scratch.tm_mon = dates[i].tm_mon;
        scratch.tm_mday = dates[i].tm_mday;
        scratch.tm_hour = dates[i].tm_hour;
        scratch.tm_min = dates[i].tm_min;
        scratch.tm_sec = dates[i].tm_sec;
        scratch.tm_isdst = made == Made::kScratch ? -1 : dates[i].tm_isdst;
        dates[i] = scratch;
    }
    return dates;
}

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    return value / divisor - (value % divisor < 0 ? 1 : 0);
}

struct Civil {
    std::int64_t year;
    int month, day, hour, minute, second;
};

// A plain closed-form days-to-date conversion: the floor for gmtime64_r.
Civil ClosedForm(Time64 time) {
    const std::int64_t days = FloorDiv(time, 86400);
    const auto seconds = static_cast<int>(time - days * 86400);
    const std::int64_t from_march0 = days + 719468;
    const std::int64_t era = FloorDiv(from_march0, 146097);
    const std::int64_t day_of_era = from_march0 - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const auto day_of_year =
        static_cast<int>(day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100));
    const int month_from_march = (5 * day_of_year + 2) / 153;
    const int month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    return {year_of_era + era * 400 + (month <= 2 ? 1 : 0),
            month,
            day_of_year - (153 * month_from_march + 2) / 5 + 1,
            seconds / 3600,
            seconds / 60 % 60,
            seconds % 60};
}

void SetZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
}

template <typename Step>
void Register(const std::string& name, const char* zone, std::int64_t year, Made made, Step step) {
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        SetZone(zone);
        const std::vector<Time64> times = Times(year);
        const std::vector<TM64> dates = Dates(times, made);
        std::size_t i = 0;
        for (auto _ : state) {
            step(times[i], dates[i]);
            i = (i + 1) % kInputs;
        }
    })->MinTime(0.2);
}

// Local conversions in New York in 2026 on one thread and on two at once;
// items per second is the throughput of all threads together.
template <typename Convert>
void RegisterThreads(const std::string& name, Convert convert) {
    benchmark::RegisterBenchmark(
        name.c_str(),
        [=](benchmark::State& state) {
            if (state.thread_index() == 0) SetZone("America/New_York");  // before the threads start
            const std::vector<Time64> times = Times(2026);
            std::size_t i = static_cast<std::size_t>(state.thread_index()) * kInputs / 2;
            for (auto _ : state) {
                convert(times[i]);
                i = (i + 1) % kInputs;
            }
            state.SetItemsProcessed(state.iterations());
        })
        ->MinTime(0.2)
        ->UseRealTime()
        ->Threads(1)
        ->Threads(2);
}

void RegisterAll() {
    for (const Range& range : kRanges) {
        const std::string utc = std::string("/") + range.name + "/UTC0";
        Register("gmtime64_r" + utc, "UTC0", range.year, Made::kUtc, [](Time64 time, const TM64&) {
            TM64 date;
            benchmark::DoNotOptimize(gmtime64_r(&time, &date));
            benchmark::DoNotOptimize(date);
        });
        Register("gmtime_r" + utc, "UTC0", range.year, Made::kUtc, [](Time64 time, const TM64&) {
            const time_t platform_time = time;
            TM64 date;
            benchmark::DoNotOptimize(gmtime_r(&platform_time, &date));
            benchmark::DoNotOptimize(date);
        });
        Register("closed_form" + utc, "UTC0", range.year, Made::kUtc,
                 [](Time64 time, const TM64&) { benchmark::DoNotOptimize(ClosedForm(time)); });
        Register("timegm64" + utc, "UTC0", range.year, Made::kUtc,
                 [](Time64, const TM64& date) { benchmark::DoNotOptimize(timegm64(&date)); });
        Register("timegm" + utc, "UTC0", range.year, Made::kUtc, [](Time64, const TM64& date) {
            TM64 copy = date;
            benchmark::DoNotOptimize(timegm(&copy));
        });
        for (const char* zone : kZones) {
            const std::string suffix = std::string("/") + range.name + "/" + zone;
            Register("localtime64_r" + suffix, zone, range.year, Made::kConverted,
                     [](Time64 time, const TM64&) {
                         TM64 date;
                         benchmark::DoNotOptimize(localtime64_r(&time, &date));
                         benchmark::DoNotOptimize(date);
                     });
            Register("localtime" + suffix, zone, range.year, Made::kConverted,
                     [](Time64 time, const TM64&) {
                         const time_t platform_time = time;
                         benchmark::DoNotOptimize(localtime(&platform_time));
                     });
            Register("localtime_r" + suffix, zone, range.year, Made::kConverted,
                     [](Time64 time, const TM64&) {
                         const time_t platform_time = time;
                         TM64 date;
                         benchmark::DoNotOptimize(localtime_r(&platform_time, &date));
                         benchmark::DoNotOptimize(date);
                     });
            for (const Made made : {Made::kConverted, Made::kScratch, Made::kScratchIsdst}) {
                const std::string name = suffix + kMadeSuffix[static_cast<int>(made)];
                Register("mktime64" + name, zone, range.year, made, [](Time64, const TM64& date) {
                    TM64 copy = date;
                    benchmark::DoNotOptimize(mktime64(&copy));
                });
                Register("mktime" + name, zone, range.year, made, [](Time64, const TM64& date) {
                    TM64 copy = date;
                    benchmark::DoNotOptimize(mktime(&copy));
                });
            }
        }
    }
    RegisterThreads("threads_localtime64_r/now/America/New_York", [](Time64 time) {
        TM64 date;
        benchmark::DoNotOptimize(localtime64_r(&time, &date));
        benchmark::DoNotOptimize(date);
    });
    RegisterThreads("threads_localtime_r/now/America/New_York", [](Time64 time) {
        const time_t platform_time = time;
        TM64 date;
        benchmark::DoNotOptimize(localtime_r(&platform_time, &date));
        benchmark::DoNotOptimize(date);
    });
}

// Console output as usual, then the ratios of bobbin's times to its peers'.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (!median && run.run_type != Run::RT_Iteration) continue;
            if (run.threads > 1) {
                rates_[run.run_name.function_name].second = run.counters.at("items_per_second");
            } else if (run.counters.count("items_per_second") > 0) {
                rates_[run.run_name.function_name].first = run.counters.at("items_per_second");
            } else {
                times_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const char* const pairs[][2] = {
            {"gmtime64_r", "gmtime_r"},       {"gmtime64_r", "closed_form"},
            {"timegm64", "timegm"},           {"localtime64_r", "localtime"},
            {"localtime64_r", "localtime_r"}, {"mktime64", "mktime"}};
        std::printf("\n%-60s %10s %10s %7s\n", "ratio (real time)", "bobbin ns", "peer ns",
                    "ratio");
        for (const auto& pair : pairs) {
            for (const auto& [name, ours] : times_) {
                const std::string prefix = std::string(pair[0]) + "/";
                if (name.compare(0, prefix.size(), prefix) != 0) continue;
                const std::string rest = name.substr(prefix.size());
                const auto peer = times_.find(std::string(pair[1]) + "/" + rest);
                if (peer == times_.end()) continue;
                const std::string label = std::string(pair[0]) + " / " + pair[1] + " " + rest;
                std::printf("%-60s %10.1f %10.1f %7.2f\n", label.c_str(), ours, peer->second,
                            ours / peer->second);
            }
        }
        for (const auto& [name, rate] : rates_) {
            std::printf("%-60s %10.3g %10.3g %7.2f\n", (name + " 2 / 1 threads").c_str(),
                        rate.second, rate.first, rate.second / rate.first);
        }
        std::fflush(stdout);
    }

  private:
    std::map<std::string, double> times_;
    std::map<std::string, std::pair<double, double>> rates_;  // items/s on one and two threads
};

}  // namespace

int main(int argc, char** argv) {
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
