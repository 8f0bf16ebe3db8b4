# The .deb and .rpm packages. The package is named oskel-info, never with the component's
# own package name in it: the package stage keeps every `dpkg-query --list` row that contains
# that name, so the tool would report itself. The binary is static: no runtime dependency.
set(CPACK_PACKAGE_NAME oskel-info)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Keldra")
set(CPACK_PACKAGE_CONTACT "Keldra SDK Support <sdk-support@keldra.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "collect Keldra SDK oskel logs and configuration for support")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "oskel_info gathers, in one pass, what support needs to look into a\n"
       "misbehaving Keldra SDK oskel component: a short OS description, the\n"
       "component's configuration file, its log files and what the package tool\n"
       "says about its package, packed into one gzip-compressed tar archive in the\n"
       "temporary directory.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB RPM)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/deb_staging.cmake)
set(CPACK_OSKEL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_ARCHITECTURE x86_64)
set(CPACK_RPM_PACKAGE_LICENSE "Keldra-proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_AUTOREQPROV OFF)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
# The package owns its own files only, not directories that belong to the system.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none")

include(CPack)
