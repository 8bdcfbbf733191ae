// The processor topology probe beside its standard peers: a cached probe query
// against std::thread::hardware_concurrency and sysconf, and the affinity count
// against a bare sched_getaffinity + CPU_COUNT.
#include <benchmark/benchmark.h>
#include <bobbin/cpuinfo/get_cpu_info.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

namespace {

void BM_CachedQuery_getLogicalCPUCount(benchmark::State& state) {
    benchmark::DoNotOptimize(getLogicalCPUCount());  // the probe runs here, once
    for (auto _ : state) benchmark::DoNotOptimize(getLogicalCPUCount());
}
BENCHMARK(BM_CachedQuery_getLogicalCPUCount);

void BM_CachedQuery_getPhysicalProcessorPackageCacheSize(benchmark::State& state) {
    benchmark::DoNotOptimize(getPhysicalProcessorPackageCacheSize());
    for (auto _ : state) benchmark::DoNotOptimize(getPhysicalProcessorPackageCacheSize());
}
BENCHMARK(BM_CachedQuery_getPhysicalProcessorPackageCacheSize);

void BM_Std_hardware_concurrency(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(std::thread::hardware_concurrency());
}
BENCHMARK(BM_Std_hardware_concurrency);

void BM_Sysconf_NPROCESSORS_ONLN(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(sysconf(_SC_NPROCESSORS_ONLN));
}
BENCHMARK(BM_Sysconf_NPROCESSORS_ONLN);

void BM_getProcessorAffinityCount(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getProcessorAffinityCount());
}
BENCHMARK(BM_getProcessorAffinityCount);

void BM_Bare_sched_getaffinity_CPU_COUNT(benchmark::State& state) {
    for (auto _ : state) {
        cpu_set_t mask;
        int count = -1;
        if (sched_getaffinity(0, sizeof mask, &mask) == 0) count = CPU_COUNT(&mask);
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_Bare_sched_getaffinity_CPU_COUNT);

}  // namespace

BENCHMARK_MAIN();
