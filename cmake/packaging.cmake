# CPack: a .tar.gz and a .deb of what `cmake --install` puts in place.
set(CPACK_PACKAGE_NAME mavo-edge-gpu-helper)
set(CPACK_PACKAGE_VENDOR "mavo")
set(CPACK_PACKAGE_CONTACT "mavo edge team")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Proves that an NVIDIA GPU did a fixed amount of integer work, and verifies the proof on a CPU")
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
# The programs link libstdc++, libgcc and the CUDA runtime statically; the driver is loaded at run
# time, so glibc is the only package they need.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.31)")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
