// A stand-in for the CUDA runtime: exactly the entry points the helper uses, driven by the scenario
// in CUDA_STANDIN_SCENARIO (space-separated key=value words):
//   count=N              devices reported (default 1)
//   capability=M.m       compute capability of every device (default 8.0)
//   name=HEX             device 0's name bytes, in hex (default "Stand-in GPU")
//   bus_id=HEX           device 0's bus id bytes, in hex (default "00000000:01:00.0")
//   fail=FUNCTION#N:S    the N-th call of FUNCTION returns status S
//   delay=FUNCTION#N:MS  the N-th call of FUNCTION first sleeps MS milliseconds
//   flip=HEX             bits XORed into every word copied back (a device that computes wrong)
//   ptx_jit=ignored      CUDA_FORCE_PTX_JIT=1 compiles nothing (else the first launch fills
//                        CUDA_CACHE_PATH, as the driver's JIT compiler does)
// FUNCTION is any entry point below, the launch's __cudaPushCallConfiguration and
// __cudaLaunchKernel included (CUDA 11's and 12's stubs launch through cudaLaunchKernel, which
// counts as __cudaLaunchKernel too); fail and delay may each be given several times. A launch runs
// the kernel's own per-thread code on the host for every thread of the launched grid; a launch
// whose geometry or cells are not what the helper must use fails as a launch error.
#include <cuda_runtime_api.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/grid_fold.h"

extern "C" {
void** __cudaRegisterFatBinary(void* fat_cubin);
char __cudaInitModule(void** handle);
void __cudaRegisterFatBinaryEnd(void** handle);
void __cudaUnregisterFatBinary(void** handle);
void __cudaRegisterFunction(void** handle, const char* host_function, char* device_function,
                            const char* device_name, int thread_limit, uint3* tid, uint3* bid,
                            dim3* block_dim, dim3* grid_dim, int* warp_size);
unsigned __cudaPushCallConfiguration(dim3 grid, dim3 block, size_t shared_memory,
                                     struct CUstream_st* stream);
cudaError_t __cudaPopCallConfiguration(dim3* grid, dim3* block, size_t* shared_memory,
                                       void* stream);
#if CUDART_VERSION >= 12000
cudaError_t __cudaGetKernel(cudaKernel_t* kernel, const void* host_function);
cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid, dim3 block, void** args,
                               size_t shared_memory, cudaStream_t stream);
#endif
}

namespace {

struct scenario {
    std::multimap<std::string, std::string> values;

    scenario() {
        const char* text = std::getenv("CUDA_STANDIN_SCENARIO");
        std::istringstream words(text ? text : "");
        for (std::string word; words >> word;) {
            const auto equals = word.find('=');
            values.emplace(word.substr(0, equals), word.substr(equals + 1));
        }
    }
    std::string text(const std::string& key, const std::string& fallback) const {
        const auto found = values.find(key);
        return found == values.end() ? fallback : found->second;
    }
    long number(const std::string& key, long fallback) const {
        return std::stol(text(key, std::to_string(fallback)));
    }
    // The value after "FUNCTION#N:" of the `key` word that names this call, if one does.
    std::optional<long> for_call(const std::string& key, const std::string& this_call) const {
        for (auto [word, end] = values.equal_range(key); word != end; ++word) {
            const auto colon = word->second.rfind(':');
            if (colon != std::string::npos && word->second.substr(0, colon) == this_call) {
                return std::stol(word->second.substr(colon + 1));
            }
        }
        return std::nullopt;
    }
    std::string bytes(const std::string& key, const std::string& fallback) const {
        const auto found = values.find(key);
        if (found == values.end()) {
            return fallback;
        }
        std::string decoded;
        for (std::size_t k = 0; k + 1 < found->second.size(); k += 2) {
            decoded += static_cast<char>(std::stoi(found->second.substr(k, 2), nullptr, 16));
        }
        return decoded;
    }
};

const scenario& current() {
    static const scenario instance;
    return instance;
}

// One call of `function`: sleeps for the scenario's delay on this call, then returns its failure
// status for this call, else success.
cudaError_t call(const std::string& function) {
    static std::map<std::string, long> calls;
    const std::string this_call = function + "#" + std::to_string(++calls[function]);
    if (const auto delay_ms = current().for_call("delay", this_call)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(*delay_ms));
    }
    return static_cast<cudaError_t>(current().for_call("fail", this_call).value_or(cudaSuccess));
}

struct launch_configuration {
    dim3 grid;
    dim3 block;
    size_t shared_memory = 0;
    cudaStream_t stream = nullptr;
};

// Device memory, owned here so that cells a failed run never frees are not reported as leaks.
std::map<const void*, std::vector<unsigned char>> allocations;
launch_configuration pushed;
cudaError_t last_error = cudaSuccess;
const void* edge_mix_kernel_stub = nullptr;

bool is_device_range(const void* pointer, std::size_t size) {
    const auto found = allocations.find(pointer);
    return found != allocations.end() && size <= found->second.size();
}

// With CUDA_FORCE_PTX_JIT=1 the driver compiles the PTX and keeps the result in its compute cache.
void compile_ptx() {
    const char* forced = std::getenv("CUDA_FORCE_PTX_JIT");
    const char* cache = std::getenv("CUDA_CACHE_PATH");
    if (forced == nullptr || std::string(forced) != "1" || cache == nullptr ||
        current().text("ptx_jit", "") == "ignored") {
        return;
    }
    const auto folder = std::filesystem::path(cache) / "ComputeCache";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "edge_mix_kernel.sm_75") << "stand-in machine code\n";
}

bool expected_geometry(const launch_configuration& c, std::uint64_t units) {
    const auto blocks = std::min<std::uint64_t>((units + 255) / 256, 4096);
    return c.grid.x == blocks && c.grid.y == 1 && c.grid.z == 1 && c.block.x == 256 &&
           c.block.y == 1 && c.block.z == 1 && c.shared_memory == 0 && c.stream == nullptr;
}

}  // namespace

extern "C" {

void** __cudaRegisterFatBinary(void*) {
    static void* handle = nullptr;
    return &handle;
}
void __cudaRegisterFatBinaryEnd(void**) {}
char __cudaInitModule(void**) {
    return 1;
}
void __cudaUnregisterFatBinary(void**) {}

void __cudaRegisterFunction(void**, const char* host_function, char*, const char* device_name, int,
                            uint3*, uint3*, dim3*, dim3*, int*) {
    if (std::strstr(device_name, "edge_mix_kernel") != nullptr) {
        edge_mix_kernel_stub = host_function;
    }
}

unsigned __cudaPushCallConfiguration(dim3 grid, dim3 block, size_t shared_memory,
                                     struct CUstream_st* stream) {
    if (const cudaError_t status = call("__cudaPushCallConfiguration")) {
        last_error = status;
        return 1;
    }
    pushed = {grid, block, shared_memory, stream};
    return 0;
}

cudaError_t __cudaPopCallConfiguration(dim3* grid, dim3* block, size_t* shared_memory,
                                       void* stream) {
    *grid = pushed.grid;
    *block = pushed.block;
    *shared_memory = pushed.shared_memory;
    *static_cast<cudaStream_t*>(stream) = pushed.stream;
    return cudaSuccess;
}

cudaError_t cudaLaunchKernel(const void* host_function, dim3 grid, dim3 block, void** args,
                             size_t shared_memory, cudaStream_t stream) {
    if (const cudaError_t status = call("__cudaLaunchKernel")) {
        return last_error = status;
    }
    const auto seed = *static_cast<std::uint64_t*>(args[0]);
    const auto units = *static_cast<std::uint64_t*>(args[1]);
    auto* xor_cell = *static_cast<std::uint64_t**>(args[2]);
    auto* sum_cell = *static_cast<std::uint64_t**>(args[3]);
    if (host_function != edge_mix_kernel_stub ||
        !expected_geometry({grid, block, shared_memory, stream}, units) || xor_cell == sum_cell ||
        !is_device_range(xor_cell, 8) || !is_device_range(sum_cell, 8)) {
        return last_error = cudaErrorInvalidConfiguration;
    }
    compile_ptx();
    // Like the device's atomics, fold into whatever the cells hold.
    const digests cells = fold_grid(seed, units, grid.x, block.x);
    *xor_cell ^= cells.xor_digest;
    *sum_cell += cells.sum_digest;
    return cudaSuccess;
}

// CUDA 13's stubs launch through a kernel handle; the handle here is the stub itself. (CUDA 11's
// runtime has no kernel handles.)
#if CUDART_VERSION >= 12000
cudaError_t __cudaGetKernel(cudaKernel_t* kernel, const void* host_function) {
    *kernel = reinterpret_cast<cudaKernel_t>(const_cast<void*>(host_function));
    return cudaSuccess;
}

cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid, dim3 block, void** args,
                               size_t shared_memory, cudaStream_t stream) {
    return cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, args, shared_memory,
                            stream);
}
#endif

cudaError_t cudaGetDeviceCount(int* count) {
    if (const cudaError_t status = call("cudaGetDeviceCount")) {
        return status;
    }
    *count = static_cast<int>(current().number("count", 1));
    return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
    if (const cudaError_t status = call("cudaSetDevice")) {
        return status;
    }
    return device < 0 || device >= current().number("count", 1) ? cudaErrorInvalidDevice
                                                                : cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* properties, int device) {
    if (const cudaError_t status = call("cudaGetDeviceProperties")) {
        return status;
    }
    const std::string capability = current().text("capability", "8.0");
    const std::string name = device == 0 ? current().bytes("name", "Stand-in GPU")
                                         : "other device " + std::to_string(device);
    std::memcpy(properties->name, name.data(), std::min(name.size(), sizeof properties->name));
    properties->major = std::stoi(capability);
    properties->minor = std::stoi(capability.substr(capability.find('.') + 1));
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** pointer, size_t size) {
    if (const cudaError_t status = call("cudaMalloc")) {
        return status;
    }
    std::vector<unsigned char> memory(size, 0xA5);  // garbage, so a missing memset shows
    *pointer = memory.data();
    allocations.emplace(memory.data(), std::move(memory));
    return cudaSuccess;
}

cudaError_t cudaMemset(void* pointer, int value, size_t size) {
    if (const cudaError_t status = call("cudaMemset")) {
        return status;
    }
    if (!is_device_range(pointer, size)) {
        return cudaErrorInvalidValue;
    }
    std::memset(pointer, value, size);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* destination, const void* source, size_t size, cudaMemcpyKind kind) {
    if (const cudaError_t status = call("cudaMemcpy")) {
        return status;
    }
    if (kind != cudaMemcpyDeviceToHost || !is_device_range(source, size)) {
        return cudaErrorInvalidValue;
    }
    std::memcpy(destination, source, size);
    if (size == sizeof(std::uint64_t)) {
        const std::uint64_t flip = std::stoull(current().text("flip", "0"), nullptr, 16);
        *static_cast<std::uint64_t*>(destination) ^= flip;
    }
    return cudaSuccess;
}

cudaError_t cudaFree(void* pointer) {
    if (const cudaError_t status = call("cudaFree")) {
        return status;
    }
    return allocations.erase(pointer) == 1 ? cudaSuccess : cudaErrorInvalidValue;
}

cudaError_t cudaGetLastError() {
    const cudaError_t injected = call("cudaGetLastError");
    const cudaError_t status = last_error;
    last_error = cudaSuccess;
    return status != cudaSuccess ? status : injected;
}

cudaError_t cudaDeviceSynchronize() {
    return call("cudaDeviceSynchronize");
}

cudaError_t cudaDeviceGetPCIBusId(char* bus_id, int length, int device) {
    if (const cudaError_t status = call("cudaDeviceGetPCIBusId")) {
        std::memset(bus_id, 'X', static_cast<size_t>(length));  // a failed call may leave debris
        return status;
    }
    const std::string text = device == 0 ? current().bytes("bus_id", "00000000:01:00.0")
                                         : "0000000" + std::to_string(device) + ":02:00.0";
    std::memcpy(bus_id, text.data(), std::min(text.size(), static_cast<size_t>(length)));
    return cudaSuccess;
}

const char* cudaGetErrorString(cudaError_t status) {
    static std::map<int, std::string> texts;
    std::string& text = texts[status];
    text = "stand-in status " + std::to_string(status);
    return text.c_str();
}

}  // extern "C"
