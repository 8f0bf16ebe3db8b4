# Read by cpack for each package. CPack's .deb writer reports, as a status message, that the
# package has no dependencies: that is by design (the binary is static), so only notices and
# above are shown.
set(CMAKE_MESSAGE_LOG_LEVEL NOTICE)

# Both package writers (CPack's own for the .deb, rpmbuild for the .rpm) take their time stamps
# from SOURCE_DATE_EPOCH: a packager's value is kept, else it is the newest changelog entry's
# date. That date is in the tree, so a clone, an export without git history and a source
# tarball of one commit all give the same packages.
if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  return()
endif()
file(STRINGS "${CPACK_OSKEL_PACKAGING_DIR}/changelog" trailer REGEX "^ -- " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" date "${trailer}")
execute_process(COMMAND date -u -d "${date}" +%s
                OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
if(failed OR NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no SOURCE_DATE_EPOCH: packaging/changelog's newest entry has no date "
                      "that date(1) reads")
endif()
set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
