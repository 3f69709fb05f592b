// Units per second of the CPU digests: the plain loop, one vectorised thread, every thread.
#include <benchmark/benchmark.h>

#include <thread>

#include "parallel_digests.h"
#include "workload.h"

namespace {

constexpr std::uint64_t kernel_seed = 0xefcdab8967452301;

void report_units(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void plain_loop(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            host_digests(kernel_seed, static_cast<std::uint64_t>(state.range(0))));
    }
    report_units(state);
}

void one_thread(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            parallel_digests(kernel_seed, static_cast<std::uint64_t>(state.range(0)), 1));
    }
    report_units(state);
    state.SetLabel(chosen_fold().instruction_set);
}

void every_thread(benchmark::State& state) {
    const unsigned threads = std::max(1U, std::thread::hardware_concurrency());
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            parallel_digests(kernel_seed, static_cast<std::uint64_t>(state.range(0)), threads));
    }
    report_units(state);
    state.counters["threads"] = threads;
    state.SetLabel(chosen_fold().instruction_set);
}

}  // namespace

BENCHMARK(plain_loop)->Arg(100000000)->Unit(benchmark::kMillisecond);
BENCHMARK(one_thread)->Arg(100000000)->Unit(benchmark::kMillisecond);
BENCHMARK(every_thread)->Arg(100000000)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
