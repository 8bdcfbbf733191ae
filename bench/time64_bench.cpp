// bobbin's calendar conversions beside the C library's on the same inputs,
// in five year ranges and two zones. After the table it prints the ratio
// bobbin / C library of each pair (medians when run with repetitions).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bobbin/time/time64.h"

namespace {

struct Range {
    const char* name;
    std::int64_t year;
};
const Range kRanges[] = {
    {"now", 2026}, {"2400", 2400}, {"+1e6", 1000000}, {"-1e6", -1000000}, {"2e9", 2000000000}};
const char* const kZones[] = {"UTC0", "America/New_York"};

constexpr std::size_t kInputs = 256;

// Times spread over two years from 1 January of the range's year.
std::vector<Time64> Times(std::int64_t year) {
    TM64 first{};
    first.tm_year = static_cast<int>(year - 1900);
    first.tm_mday = 1;
    const Time64 start = timegm64(&first);
    std::mt19937_64 engine(static_cast<std::uint64_t>(year));
    std::uniform_int_distribution<Time64> offset(0, 2 * 365 * 86400);
    std::vector<Time64> times(kInputs);
    for (Time64& time : times) time = start + offset(engine);
    return times;
}

// The same moments as UTC dates (for timegm) or local dates (for mktime).
std::vector<TM64> Dates(const std::vector<Time64>& times, bool local) {
    std::vector<TM64> dates(times.size());
    for (std::size_t i = 0; i < times.size(); ++i) {
        if (local) {
            localtime64_r(&times[i], &dates[i]);
            dates[i].tm_isdst = -1;
        } else {
            gmtime64_r(&times[i], &dates[i]);
        }
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
void Register(const std::string& name, const char* zone, std::int64_t year, bool local_dates,
              Step step) {
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        SetZone(zone);
        const std::vector<Time64> times = Times(year);
        const std::vector<TM64> dates = Dates(times, local_dates);
        std::size_t i = 0;
        for (auto _ : state) {
            step(times[i], dates[i]);
            i = (i + 1) % kInputs;
        }
    })->MinTime(0.2);
}

void RegisterAll() {
    for (const Range& range : kRanges) {
        const std::string utc = std::string("/") + range.name + "/UTC0";
        Register("gmtime64_r" + utc, "UTC0", range.year, false, [](Time64 time, const TM64&) {
            TM64 date;
            benchmark::DoNotOptimize(gmtime64_r(&time, &date));
            benchmark::DoNotOptimize(date);
        });
        Register("gmtime_r" + utc, "UTC0", range.year, false, [](Time64 time, const TM64&) {
            const time_t platform_time = time;
            TM64 date;
            benchmark::DoNotOptimize(gmtime_r(&platform_time, &date));
            benchmark::DoNotOptimize(date);
        });
        Register("closed_form" + utc, "UTC0", range.year, false,
                 [](Time64 time, const TM64&) { benchmark::DoNotOptimize(ClosedForm(time)); });
        Register("timegm64" + utc, "UTC0", range.year, false,
                 [](Time64, const TM64& date) { benchmark::DoNotOptimize(timegm64(&date)); });
        Register("timegm" + utc, "UTC0", range.year, false, [](Time64, const TM64& date) {
            TM64 copy = date;
            benchmark::DoNotOptimize(timegm(&copy));
        });
        for (const char* zone : kZones) {
            const std::string suffix = std::string("/") + range.name + "/" + zone;
            Register("localtime64_r" + suffix, zone, range.year, true,
                     [](Time64 time, const TM64&) {
                         TM64 date;
                         benchmark::DoNotOptimize(localtime64_r(&time, &date));
                         benchmark::DoNotOptimize(date);
                     });
            Register("localtime" + suffix, zone, range.year, true, [](Time64 time, const TM64&) {
                const time_t platform_time = time;
                benchmark::DoNotOptimize(localtime(&platform_time));
            });
            Register("localtime_r" + suffix, zone, range.year, true, [](Time64 time, const TM64&) {
                const time_t platform_time = time;
                TM64 date;
                benchmark::DoNotOptimize(localtime_r(&platform_time, &date));
                benchmark::DoNotOptimize(date);
            });
            Register("mktime64" + suffix, zone, range.year, true, [](Time64, const TM64& date) {
                TM64 copy = date;
                benchmark::DoNotOptimize(mktime64(&copy));
            });
            Register("mktime" + suffix, zone, range.year, true, [](Time64, const TM64& date) {
                TM64 copy = date;
                benchmark::DoNotOptimize(mktime(&copy));
            });
        }
    }
}

// Console output as usual, then the ratios of bobbin's times to its peers'.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || run.run_type == Run::RT_Iteration) {
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
        std::printf("\n%-44s %10s %10s %7s\n", "ratio (real time)", "bobbin ns", "peer ns",
                    "ratio");
        for (const auto& pair : pairs) {
            for (const auto& [name, ours] : times_) {
                const std::string prefix = std::string(pair[0]) + "/";
                if (name.compare(0, prefix.size(), prefix) != 0) continue;
                const std::string rest = name.substr(prefix.size());
                const auto peer = times_.find(std::string(pair[1]) + "/" + rest);
                if (peer == times_.end()) continue;
                const std::string label = std::string(pair[0]) + " / " + pair[1] + " " + rest;
                std::printf("%-44s %10.1f %10.1f %7.2f\n", label.c_str(), ours, peer->second,
                            ours / peer->second);
            }
        }
        std::fflush(stdout);
    }

  private:
    std::map<std::string, double> times_;
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
