// mavo-edge-gpu-helper: runs a fixed integer workload on device 0 and reports its digests, the GPU
// and the time taken as one JSON line.
#include <cuda_runtime.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "cli.h"
#include "driver_library.h"
#include "monotonic_clock.h"
#include "report.h"
#include "workload.h"

#ifdef _MSC_VER
// NvOptimusEnablementCuda = 1 asks hybrid-graphics drivers to run CUDA work on the discrete GPU.
// The static CUDA runtime (cudart_static.lib, 12.x and 13.x) already defines and exports it with
// that value, so a definition here would collide; insist that the linker keeps the runtime's. (The
// mingw-w64 cross build asks its linker the same on its command line.)
#pragma comment(linker, "/INCLUDE:NvOptimusEnablementCuda")
#endif

namespace {

inline constexpr unsigned threads_per_block = 256;
inline constexpr std::uint64_t max_blocks = 4096;

class cuda_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// No usable device, or one too old for the kernel.
class device_error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

void check_cuda(cudaError_t status, const char* step) {
    if (status != cudaSuccess) {
        throw cuda_error(std::string(step) + ": " + cudaGetErrorString(status));
    }
}

// Each thread folds its grid-stride share into registers and touches each cell once, at the end.
__global__ void edge_mix_kernel(std::uint64_t kernel_seed, std::uint64_t units,
                                unsigned long long* xor_cell, unsigned long long* sum_cell) {
    const digests share =
        thread_digests(kernel_seed, units, blockIdx.x, blockDim.x, gridDim.x, threadIdx.x);
    atomicXor(xor_cell, share.xor_digest);
    atomicAdd(sum_cell, share.sum_digest);
}

unsigned block_count(std::uint64_t units) {
    return static_cast<unsigned>(
        std::min((units + threads_per_block - 1) / threads_per_block, max_blocks));
}

// The bytes before the first zero byte, at most the whole field.
std::string text_of(const char* field, std::size_t size) {
    return std::string(field, std::find(field, field + size, '\0'));
}

run_report run_on_device_0(const run_options& options) {
    keep_driver_library_loaded();
    int device_count = 0;
    check_cuda(cudaGetDeviceCount(&device_count), "cudaGetDeviceCount");
    if (device_count < 1) {
        throw device_error("no CUDA device is available");
    }
    check_cuda(cudaSetDevice(0), "cudaSetDevice");
    cudaDeviceProp properties;
    std::memset(&properties, 0, sizeof properties);
    check_cuda(cudaGetDeviceProperties(&properties, 0), "cudaGetDeviceProperties");
    if (properties.major < 7 || (properties.major == 7 && properties.minor < 5)) {
        throw device_error("GPU requires CUDA compute capability 7.5 or newer");
    }

    unsigned long long* xor_cell = nullptr;
    unsigned long long* sum_cell = nullptr;
    check_cuda(cudaMalloc(&xor_cell, sizeof *xor_cell), "cudaMalloc xor");
    check_cuda(cudaMalloc(&sum_cell, sizeof *sum_cell), "cudaMalloc sum");
    check_cuda(cudaMemset(xor_cell, 0, sizeof *xor_cell), "cudaMemset xor");
    check_cuda(cudaMemset(sum_cell, 0, sizeof *sum_cell), "cudaMemset sum");
    const unsigned blocks = block_count(options.units);

    const std::int64_t start = monotonic_ns();
    // The runtime takes the configuration before the arguments are formed, so a malformed seed
    // surfaces only once every device step has succeeded, and not at all if the launch is refused.
    edge_mix_kernel<<<blocks, threads_per_block>>>(decode_seed(options.seed_text), options.units,
                                                   xor_cell, sum_cell);
    check_cuda(cudaGetLastError(), "edge_mix_kernel launch");
    check_cuda(cudaDeviceSynchronize(), "edge_mix_kernel synchronize");
    run_report report;
    check_cuda(
        cudaMemcpy(&report.xor_digest, xor_cell, sizeof report.xor_digest, cudaMemcpyDeviceToHost),
        "cudaMemcpy xor");
    check_cuda(
        cudaMemcpy(&report.sum_digest, sum_cell, sizeof report.sum_digest, cudaMemcpyDeviceToHost),
        "cudaMemcpy sum");
    static_cast<void>(cudaFree(xor_cell));
    static_cast<void>(cudaFree(sum_cell));
    const std::int64_t end = monotonic_ns();

    char bus_id[32] = {};
    if (cudaDeviceGetPCIBusId(bus_id, sizeof bus_id, 0) == cudaSuccess) {
        report.bus_id = text_of(bus_id, sizeof bus_id);
    }
    report.device_name = text_of(properties.name, sizeof properties.name);
    report.duration_ms = std::max<std::int64_t>((end - start) / 1000000, 1);
    report.units = options.units;
    return report;
}

}  // namespace

int main(int argc, char** argv) try {
#ifdef SIGPIPE
    // A reader that has gone must fail the report's write, not end the process without a word.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    const parsed_arguments parsed = parse_arguments(argc, argv);
    if (parsed.action != cli_action::run) {
        std::cerr << usage_line;
        return parsed.action == cli_action::help ? 0 : 2;
    }
    write_report(std::cout, run_on_device_0(parsed.options));
    return 0;
} catch (const std::exception& error) {
    std::cerr << "mavo-edge-gpu-helper: " << error.what() << '\n';
    return 1;
}
