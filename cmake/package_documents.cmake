# What the Linux packages carry beside the programs, in the documentation folder named after the
# package (as Debian and rpm expect): the license and third-party notices, the README and digest
# vectors, a Debian changelog and a machine-readable copyright file that holds the notices; and
# the man pages. Compressed files are made with gzip -9n, which stores no name or time.
set(mavo_documents ${CMAKE_BINARY_DIR}/package_documents)
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^mavo-edge-gpu-helper \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: its first entry is not version ${PROJECT_VERSION}")
endif()

# The copyright file: the project's paragraph, with the notices as its comment (one space before
# each line, " ." for an empty one, as the format asks).
file(READ ${PROJECT_SOURCE_DIR}/THIRD_PARTY_NOTICES notices)
string(REGEX REPLACE "\n$" "" notices "${notices}")
# Twice: matches do not overlap, so the first pass leaves every second line of a blank run.
string(REGEX REPLACE "\n\n" "\n.\n" notices "${notices}")
string(REGEX REPLACE "\n\n" "\n.\n" notices "${notices}")
string(REPLACE "\n" "\n " notices "${notices}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/THIRD_PARTY_NOTICES
             ${PROJECT_SOURCE_DIR}/packaging/debian/changelog)
file(WRITE ${mavo_documents}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mavo-edge-gpu-helper
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}
Source: ${PROJECT_HOMEPAGE_URL}
Comment: ${notices}

Files: *
Copyright: 2026 mavo
License: Apache-2.0
 On Debian systems the full text of the Apache License 2.0 is in
 /usr/share/common-licenses/Apache-2.0, and in LICENSE beside this file.
")

find_program(MAVO_GZIP gzip REQUIRED)
set(compressed)
foreach(source IN ITEMS docs/man/mavo-edge-gpu-helper.1 docs/man/mavo-edge-verify.1
                        docs/man/mavo-edge-healthcheck.1 packaging/debian/changelog)
  cmake_path(GET source FILENAME name)
  add_custom_command(OUTPUT ${mavo_documents}/${name}.gz
                     COMMAND ${MAVO_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${mavo_documents}/${name}.gz
                     DEPENDS ${PROJECT_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND compressed ${mavo_documents}/${name}.gz)
endforeach()
add_custom_target(package_documents ALL DEPENDS ${compressed})

install(FILES ${mavo_documents}/mavo-edge-gpu-helper.1.gz ${mavo_documents}/mavo-edge-verify.1.gz
              ${mavo_documents}/mavo-edge-healthcheck.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES LICENSE THIRD_PARTY_NOTICES README.md tests/vectors/digest_vectors.tsv
              ${mavo_documents}/copyright ${mavo_documents}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
