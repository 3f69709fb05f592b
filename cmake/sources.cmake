# The programs' host sources, as paths from the project root: one list for the native builds and
# the Windows cross build (packaging/windows).
set(mavo_host_sources src/cli.cpp src/driver_library.cpp src/monotonic_clock.cpp src/report.cpp
                       src/workload.cpp)
set(mavo_verify_sources src/parallel_digests.cpp src/report_check.cpp src/report_parser.cpp
                        src/standard_input.cpp src/verify_cli.cpp)
# GCC vectorises the verifier's folds only at -O3, so that file asks for it whatever the build type
# (at -O2 every fold would run as scalar code).
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  cmake_path(SET mavo_folds_source NORMALIZE ${CMAKE_CURRENT_LIST_DIR}/../src/parallel_digests.cpp)
  set_source_files_properties(${mavo_folds_source} PROPERTIES COMPILE_OPTIONS -O3)
endif()
