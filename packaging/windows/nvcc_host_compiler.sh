#!/bin/sh
# nvcc's host compiler for the Windows build: mingw-w64's g++. nvcc takes only a host compiler that
# targets Linux, which it learns by preprocessing a probe file for __NV_LINUX__: that probe alone is
# told __gnu_linux__, every real compilation sees the Windows target as it is.
if [ $# -eq 2 ] && [ "$1" = -E ] && grep -q __NV_LINUX__ "$2"; then
    exec x86_64-w64-mingw32ucrt-g++ -D__gnu_linux__ "$@"
fi
exec x86_64-w64-mingw32ucrt-g++ "$@"
