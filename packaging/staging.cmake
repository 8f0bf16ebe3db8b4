# Runs in CPack's staging tree before each package, the .deb and the .rpm, is made. Every
# staged file and directory gets SOURCE_DATE_EPOCH as its time: installed files keep their
# source's time, which is when the tree was checked out, and rpmbuild only lowers times that
# are later than the epoch.
# Both formats want the manual page compressed, with `gzip -9n` (no name, no time stamp); the
# rpmbuild of a Debian host does not compress it itself. Debian also wants the changelog
# compressed, and gets the lintian overrides, which say why the binary is static.
file(GLOB_RECURSE staged_docs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1")
if(CPACK_GENERATOR STREQUAL "DEB")
  file(GLOB_RECURSE changelog "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/oskel-info/changelog")
  list(APPEND staged_docs ${changelog})
endif()
foreach(doc IN LISTS staged_docs)
  execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${doc}")
  endif()
endforeach()
file(GLOB_RECURSE staged LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
execute_process(COMMAND touch -h -d "@$ENV{SOURCE_DATE_EPOCH}" ${staged} RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot set the staged files' times to SOURCE_DATE_EPOCH")
endif()
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(overrides "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CPACK_OSKEL_PACKAGING_DIR}/lintian-overrides" "${overrides}/oskel-info")
# The copy keeps the checkout's mode, which depends on how the tree was made (git archive gives
# 0664): the package's is fixed.
file(CHMOD "${overrides}/oskel-info" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
