#include "driver_library.h"

#ifdef __linux__
#include <dlfcn.h>
#endif

void keep_driver_library_loaded() {
#ifdef __linux__
    // The CUDA 11 runtime unloads libcuda.so.1 when cuInit fails, while a thread that the 555
    // driver starts there may still be running in it, and then faults. Never unloaded, the library
    // outlives that thread. Where none loads, the runtime's first call says so as before.
    static_cast<void>(dlopen("libcuda.so.1", RTLD_LAZY | RTLD_NODELETE));
#endif
}
