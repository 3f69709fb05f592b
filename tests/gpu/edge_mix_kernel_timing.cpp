// Times the helper's own edge_mix_kernel machine code: loads the fatbinary cut out of the helper,
// finds the kernel by its entry name, warms the GPU up for a second so that its clocks settle,
// prints "timing", then times batches of launches with the helper's geometry for about the given
// number of seconds and prints the figures as one JSON line. Whoever runs it reads the SM clock
// while the batches run.
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void check(cudaError_t status, const char* step) {
    if (status != cudaSuccess) {
        throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(status));
    }
}

constexpr int batches = 5;

}  // namespace

int main(int argc, char** argv) try {
    if (argc != 5) {
        std::fputs("usage: edge_mix_kernel_timing <helper.fatbin> <entry name> <units> <seconds>\n",
                   stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<char> fatbin(std::istreambuf_iterator<char>(file), {});
    const char* entry = argv[2];
    std::uint64_t units = std::strtoull(argv[3], nullptr, 10);
    const double seconds = std::strtod(argv[4], nullptr);

    cudaLibrary_t library = nullptr;
    check(cudaLibraryLoadData(&library, fatbin.data(), nullptr, nullptr, 0, nullptr, nullptr, 0),
          "cudaLibraryLoadData");
    // The kernel has internal linkage; whether the library counts such kernels is not documented,
    // so it is found by name and the count is only reported.
    cudaKernel_t kernel = nullptr;
    check(cudaLibraryGetKernel(&kernel, library, entry), "cudaLibraryGetKernel");
    unsigned kernels_counted = 0;
    check(cudaLibraryGetKernelCount(&kernels_counted, library), "cudaLibraryGetKernelCount");

    unsigned long long* cells = nullptr;
    check(cudaMalloc(&cells, 2 * sizeof *cells), "cudaMalloc");
    unsigned long long* xor_cell = cells;
    unsigned long long* sum_cell = cells + 1;
    std::uint64_t seed = 0xefcdab8967452301;
    void* args[] = {&seed, &units, &xor_cell, &sum_cell};
    const auto blocks = static_cast<unsigned>(std::min<std::uint64_t>((units + 255) / 256, 4096));
    const auto launch = [&] {
        check(cudaLaunchKernel(reinterpret_cast<const void*>(kernel), dim3(blocks), dim3(256), args,
                               0, nullptr),
              "cudaLaunchKernel");
    };

    // Warm-up: a second of back-to-back launches, which also tells how long one takes.
    using wall_clock = std::chrono::steady_clock;
    const auto warm_up_start = wall_clock::now();
    int warm_up_launches = 0;
    while (wall_clock::now() - warm_up_start < std::chrono::seconds(1)) {
        launch();
        check(cudaDeviceSynchronize(), "cudaDeviceSynchronize");
        ++warm_up_launches;
    }
    const double warm_up_ms =
        std::chrono::duration<double, std::milli>(wall_clock::now() - warm_up_start).count();
    const int per_batch =
        std::max(1, static_cast<int>(seconds * 1000 / batches / (warm_up_ms / warm_up_launches)));
    std::puts("timing");
    std::fflush(stdout);

    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    check(cudaEventCreate(&start), "cudaEventCreate");
    check(cudaEventCreate(&stop), "cudaEventCreate");
    std::vector<double> ms_per_launch;
    for (int batch = 0; batch < batches; ++batch) {
        check(cudaEventRecord(start), "cudaEventRecord");
        for (int k = 0; k < per_batch; ++k) {
            launch();
        }
        check(cudaEventRecord(stop), "cudaEventRecord");
        check(cudaEventSynchronize(stop), "cudaEventSynchronize");
        float ms = 0;
        check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
        ms_per_launch.push_back(static_cast<double>(ms) / static_cast<double>(per_batch));
    }
    std::sort(ms_per_launch.begin(), ms_per_launch.end());

    int multiprocessors = 0;
    check(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, 0),
          "cudaDeviceGetAttribute");
    std::printf(
        "{\"units\":%llu,\"launches\":%d,\"ms_per_launch_median\":%.5f,"
        "\"ms_per_launch_min\":%.5f,\"multiprocessors\":%d,\"kernels_counted\":%u}\n",
        static_cast<unsigned long long>(units), per_batch * batches, ms_per_launch[batches / 2],
        ms_per_launch.front(), multiprocessors, kernels_counted);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "edge_mix_kernel_timing: %s\n", error.what());
    return 1;
}
