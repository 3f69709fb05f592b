# The project's one version, for every build: the library header's (include/mavo_edge/verify.h),
# which C callers and the Python package read. Sets mavo_version.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../include/mavo_edge/verify.h mavo_version_lines
     REGEX "^#define MAVO_EDGE_VERSION")
string(REGEX MATCH "VERSION \"([0-9.]+)\"" _ "${mavo_version_lines}")
set(mavo_version ${CMAKE_MATCH_1})
string(REGEX REPLACE ".*MAJOR ([0-9]+);.*MINOR ([0-9]+);.*PATCH ([0-9]+);.*" "\\1.\\2.\\3" mavo_parts
       "${mavo_version_lines}")
if(NOT mavo_version OR NOT mavo_parts STREQUAL mavo_version)
  message(FATAL_ERROR "verify.h: MAVO_EDGE_VERSION \"${mavo_version}\" is not MAJOR.MINOR.PATCH ${mavo_parts}")
endif()
