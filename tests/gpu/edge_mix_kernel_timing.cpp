// Times the helper's own edge_mix_kernel machine code: loads the fatbinary cut out of the helper,
// launches it with the helper's geometry and times the launches with CUDA events.
#include <cuda_runtime.h>

#include <algorithm>
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

}  // namespace

int main(int argc, char** argv) try {
    if (argc != 3) {
        std::fputs("usage: edge_mix_kernel_timing <helper.fatbin> <units>\n", stderr);
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<char> fatbin(std::istreambuf_iterator<char>(file), {});
    std::uint64_t units = std::strtoull(argv[2], nullptr, 10);

    cudaLibrary_t library = nullptr;
    check(cudaLibraryLoadData(&library, fatbin.data(), nullptr, nullptr, 0, nullptr, nullptr, 0),
          "cudaLibraryLoadData");
    unsigned kernel_count = 0;
    check(cudaLibraryGetKernelCount(&kernel_count, library), "cudaLibraryGetKernelCount");
    if (kernel_count != 1) {
        throw std::runtime_error("expected exactly one kernel, found " +
                                 std::to_string(kernel_count));
    }
    cudaKernel_t kernel = nullptr;
    check(cudaLibraryEnumerateKernels(&kernel, 1, library), "cudaLibraryEnumerateKernels");

    unsigned long long* cells = nullptr;
    check(cudaMalloc(&cells, 2 * sizeof *cells), "cudaMalloc");
    unsigned long long* xor_cell = cells;
    unsigned long long* sum_cell = cells + 1;
    std::uint64_t seed = 0xefcdab8967452301;
    void* args[] = {&seed, &units, &xor_cell, &sum_cell};
    const auto blocks = static_cast<unsigned>(std::min<std::uint64_t>((units + 255) / 256, 4096));

    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    check(cudaEventCreate(&start), "cudaEventCreate");
    check(cudaEventCreate(&stop), "cudaEventCreate");
    std::vector<float> times_ms;
    for (int launch = 0; launch < 21; ++launch) {
        check(cudaEventRecord(start), "cudaEventRecord");
        check(cudaLaunchKernel(reinterpret_cast<const void*>(kernel), dim3(blocks), dim3(256), args,
                               0, nullptr),
              "cudaLaunchKernel");
        check(cudaEventRecord(stop), "cudaEventRecord");
        check(cudaEventSynchronize(stop), "cudaEventSynchronize");
        float ms = 0;
        check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
        if (launch > 0) {  // the first launch loads the module
            times_ms.push_back(ms);
        }
    }
    std::sort(times_ms.begin(), times_ms.end());
    const double median_ms = times_ms[times_ms.size() / 2];

    int multiprocessors = 0;
    int clock_khz = 0;
    check(cudaDeviceGetAttribute(&multiprocessors, cudaDevAttrMultiProcessorCount, 0),
          "cudaDeviceGetAttribute");
    check(cudaDeviceGetAttribute(&clock_khz, cudaDevAttrClockRate, 0), "cudaDeviceGetAttribute");
    const double cycles_per_unit_per_sm =
        median_ms * 1e-3 * clock_khz * 1e3 * multiprocessors / static_cast<double>(units);
    std::printf(
        "{\"units\":%llu,\"kernel_ms_median\":%.4f,\"kernel_ms_min\":%.4f,\"multiprocessors\":%d,"
        "\"clock_khz\":%d,\"cycles_per_unit_per_sm\":%.4f}\n",
        static_cast<unsigned long long>(units), median_ms, static_cast<double>(times_ms.front()),
        multiprocessors, clock_khz, cycles_per_unit_per_sm);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "edge_mix_kernel_timing: %s\n", error.what());
    return 1;
}
