# Read by CPack for each package kind. The .deb and .rpm carry the programs and their documents
# (the default component) alone; the C library and header go in the tarballs, where a coordinator
# takes them for its own programs.
if(NOT CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_MAVO_BINARY_DIR};mavo_edge_gpu_helper;Unspecified;/")
endif()
