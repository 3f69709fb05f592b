# Run by CPack on the staged files before each package is made: all of them take the commit's
# time (SOURCE_DATE_EPOCH), since a checkout keeps whatever times its files happen to have and
# rpmbuild only lowers times newer than the commit's.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
  execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} COMMAND_ERROR_IS_FATAL ANY)
endif()
