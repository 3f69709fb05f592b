# The programs' host sources, as paths from the project root: one list for the native builds and
# the Windows cross build (packaging/windows).
set(mavo_host_sources src/cli.cpp src/monotonic_clock.cpp src/report.cpp src/workload.cpp)
set(mavo_verify_sources src/parallel_digests.cpp src/report_parser.cpp src/standard_input.cpp
                        src/verify_cli.cpp)
