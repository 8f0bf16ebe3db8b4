# Runs in CPack's staging tree before each package is made, and changes the .deb only.
# Debian wants manual pages and the changelog compressed with `gzip -9n` (no name, no time
# stamp, so the package is reproducible); the RPM tools compress manual pages themselves.
# The lintian overrides say why the binary is static, which is the point of the package.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
file(GLOB_RECURSE staged_docs
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/man1/*.1"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/oskel-info/changelog")
foreach(doc IN LISTS staged_docs)
  execute_process(COMMAND gzip -9nf "${doc}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip failed on ${doc}")
  endif()
endforeach()
set(overrides "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${CPACK_OSKEL_PACKAGING_DIR}/lintian-overrides" "${overrides}/oskel-info")
