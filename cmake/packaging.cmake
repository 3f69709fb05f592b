# What `cmake --install` puts in place, and CPack: a .tar.gz, a .deb and an .rpm of it, named after
# the processor and the CUDA major version, since each build carries one toolkit's runtime and
# needs that toolkit's driver floor.
string(REGEX MATCH "^[0-9]+" mavo_cuda_major "${CMAKE_CUDA_COMPILER_VERSION}")
set(mavo_flavor cuda${mavo_cuda_major})
set(mavo_package mavo-edge-gpu-helper-${mavo_flavor})
set(CMAKE_INSTALL_DOCDIR share/doc/${mavo_package} CACHE PATH "Documentation (DOCDIR)")
include(GNUInstallDirs)
install(TARGETS mavo-edge-gpu-helper mavo-edge-verify RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The node-local check for Slurm's HealthCheckProgram, over the two programs beside it.
install(PROGRAMS packaging/slurm/mavo-edge-healthcheck DESTINATION ${CMAKE_INSTALL_BINDIR})
# The verifier's C library and header, for the tarballs only (see package_generators.cmake).
install(TARGETS mavo_edge_verify LIBRARY DESTINATION lib COMPONENT library)
install(FILES include/mavo_edge/verify.h DESTINATION include/mavo_edge COMPONENT library)

set(CPACK_PACKAGE_NAME mavo-edge-gpu-helper)
set(CPACK_PACKAGE_VENDOR "mavo")
set(CPACK_PACKAGE_CONTACT "mavo edge team <edge-gpu-helper@mavo.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Checks that an NVIDIA GPU computes a fixed workload correctly")
# Lines of at most 79 characters, as Debian and rpm ask.
set(CPACK_PACKAGE_DESCRIPTION "\
mavo-edge-gpu-helper runs a fixed integer workload over a given number of
units on CUDA device 0 and prints one JSON line: an XOR and a sum digest of
the units' values, the GPU's name and PCI bus id, and the time taken.
Whoever chose the seed recomputes the digests on a CPU with mavo-edge-verify,
also in this package, and so checks quickly that the machine's GPU, driver
and CUDA runtime work and compute correctly, and which GPU it says it has.
mavo-edge-healthcheck checks every GPU of the machine with both, as Slurm's
HealthCheckProgram or by hand.
This package carries the CUDA ${mavo_cuda_major} runtime inside the helper.")
set(CPACK_PACKAGE_FILE_NAME
    mavo-edge-gpu-helper-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}-${mavo_flavor})
set(CPACK_GENERATOR TGZ DEB RPM)
set(CPACK_STRIP_FILES ON)

# The flavours of the release variants (packaging/variants.tsv) install the same paths: a package
# manager swaps one for another. This build's row gives its glibc floor; a build that no row
# describes depends on any glibc.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/variants.tsv mavo_variants REGEX "^linux-")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/variants.tsv)
set(mavo_other_packages)
set(mavo_libc_dependency libc6)
foreach(row IN LISTS mavo_variants)
  string(REPLACE "\t" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 2 flavor)
  list(GET fields 8 glibc_floor)
  if(NOT flavor STREQUAL mavo_flavor)
    list(APPEND mavo_other_packages mavo-edge-gpu-helper-${flavor})
  endif()
  if(name STREQUAL "linux-${CMAKE_SYSTEM_PROCESSOR}-${mavo_flavor}")
    set(mavo_libc_dependency "libc6 (>= ${glibc_floor})")
  endif()
endforeach()
list(REMOVE_DUPLICATES mavo_other_packages)
list(SORT mavo_other_packages)
list(JOIN mavo_other_packages ", " mavo_other_packages)

# The programs link libstdc++, libgcc and the CUDA runtime statically; the driver is loaded at run
# time, so glibc is the only package they need.
set(CPACK_DEBIAN_PACKAGE_NAME ${mavo_package})
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${mavo_libc_dependency})
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${mavo_other_packages})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${mavo_other_packages})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

# rpmbuild finds the glibc requirements itself from the programs' symbol versions.
set(CPACK_RPM_PACKAGE_NAME ${mavo_package})
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${CMAKE_SYSTEM_PROCESSOR})
# rpm swaps flavours through Obsoletes (`rpm -U` or `dnf install` of one removes the others); the
# flavours also provide the program's plain name.
set(CPACK_RPM_PACKAGE_CONFLICTS ${mavo_other_packages})
set(CPACK_RPM_PACKAGE_OBSOLETES ${mavo_other_packages})
set(CPACK_RPM_PACKAGE_PROVIDES "mavo-edge-gpu-helper = ${PROJECT_VERSION}")
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_USER_FILELIST "%license /usr/${CMAKE_INSTALL_DOCDIR}/LICENSE"
                            "%license /usr/${CMAKE_INSTALL_DOCDIR}/THIRD_PARTY_NOTICES")
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
# Build time, host and file times from SOURCE_DATE_EPOCH, so that two builds give the same bytes.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible
%define _build_id_links none
%define packager ${CPACK_PACKAGE_CONTACT}")
include(${CMAKE_CURRENT_LIST_DIR}/package_documents.cmake)
set(CPACK_MAVO_BINARY_DIR ${CMAKE_BINARY_DIR})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package_generators.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_file_times.cmake)
include(CPack)
