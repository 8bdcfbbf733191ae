// A thread object's whole life beside a std::thread's.
#include <benchmark/benchmark.h>
#include <bobbin/thread/ThreadHot.h>

#include <thread>

namespace {

class Empty : public ThreadHot {
  public:
    int Run() override { return 0; }
};

void BM_ThreadHot_ConstructStartStopDelete(benchmark::State& state) {
    for (auto _ : state) {
        auto* task = new Empty;
        task->Start(0);
        task->WaitForStop();
        delete task;
    }
}
BENCHMARK(BM_ThreadHot_ConstructStartStopDelete)->UseRealTime();

void BM_StdThread_CreateJoin(benchmark::State& state) {
    for (auto _ : state) {
        std::thread thread([] {});
        thread.join();
    }
}
BENCHMARK(BM_StdThread_CreateJoin)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
