# Warnings for every target of the project (C, C++ and CUDA); host warnings reach nvcc through
# -Xcompiler.
add_library(mavo_warnings INTERFACE)

if(MSVC)
  set(mavo_host_warnings /W4)
  set(mavo_cxx_warnings ${mavo_host_warnings})
  set(mavo_host_werror /WX)
else()
  set(mavo_host_warnings -Wall -Wextra -Wshadow -Wconversion -Wsign-conversion)
  # nvcc's generated host code uses GCC line markers, which -Wpedantic rejects: plain C and C++ only.
  set(mavo_cxx_warnings ${mavo_host_warnings} -Wpedantic)
  set(mavo_host_werror -Werror)
endif()
list(JOIN mavo_host_warnings "," mavo_cuda_host_warnings)

target_compile_options(mavo_warnings INTERFACE
  "$<$<COMPILE_LANGUAGE:C,CXX>:${mavo_cxx_warnings}>"
  $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=${mavo_cuda_host_warnings}>)

if(MAVO_ENABLE_WERROR)
  target_compile_options(mavo_warnings INTERFACE
    "$<$<COMPILE_LANGUAGE:C,CXX>:${mavo_host_werror}>"
    $<$<COMPILE_LANGUAGE:CUDA>:-Werror=all-warnings -Xcompiler=${mavo_host_werror}>)
endif()
