# libmavo_edge_verify.so.0: the verifier's C interface (include/mavo_edge/verify.h) for coordinators'
# programs and the Python package. Only its mavo_edge_ functions are exported; libstdc++ and libgcc
# are linked in, so that, like the programs, it needs nothing but glibc.
add_library(mavo_edge_verify SHARED src/verify_library.cpp)
target_include_directories(mavo_edge_verify PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
target_link_libraries(mavo_edge_verify PRIVATE mavo_verify_core mavo_warnings)
set_target_properties(mavo_edge_verify PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION 0)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(mavo_export_map ${PROJECT_SOURCE_DIR}/src/verify_library.map)
  target_link_options(mavo_edge_verify PRIVATE -Wl,--version-script=${mavo_export_map})
  set_property(TARGET mavo_edge_verify APPEND PROPERTY LINK_DEPENDS ${mavo_export_map})
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_link_options(mavo_edge_verify PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endif()
