# The .deb and .rpm packages. The package is named oskel-info, never with the component's
# own package name in it: the package stage keeps every `dpkg-query --list` row that contains
# that name, so the tool would report itself. The binary is static: no runtime dependency.
#
# Both packages are reproducible: cpack_project.cmake sets SOURCE_DATE_EPOCH (the newest
# changelog entry's date) for CPack's .deb writer and for rpmbuild, and the rpm macros below pin
# what rpmbuild would take from the build host and the clock.
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
set(CPACK_PACKAGE_RELOCATABLE OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB RPM)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/staging.cmake)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack_project.cmake)
set(CPACK_OSKEL_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(CPACK_OSKEL_SOURCE_DIR ${PROJECT_SOURCE_DIR})

# The architecture is the one the binary is built for (a cross build's too), in each package
# format's own spelling; OSKEL_FILE_MACHINE is how file(1) names it, for the tests.
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" oskel_processor)
if(oskel_processor MATCHES "^(x86_64|amd64)$")
  set(OSKEL_DEB_ARCH amd64)
  set(OSKEL_RPM_ARCH x86_64)
  set(OSKEL_FILE_MACHINE x86-64)
elseif(oskel_processor MATCHES "^(aarch64|arm64)$")
  set(OSKEL_DEB_ARCH arm64)
  set(OSKEL_RPM_ARCH aarch64)
  set(OSKEL_FILE_MACHINE "ARM aarch64")
else()
  set(OSKEL_DEB_ARCH ${oskel_processor})
  set(OSKEL_RPM_ARCH ${oskel_processor})
endif()
if(NOT DEFINED OSKEL_FILE_MACHINE)
  set(OSKEL_FILE_MACHINE "[^,]*")
endif()
set(OSKEL_DEB_FILE oskel-info_${PROJECT_VERSION}_${OSKEL_DEB_ARCH}.deb)
set(OSKEL_RPM_FILE oskel-info-${PROJECT_VERSION}-1.${OSKEL_RPM_ARCH}.rpm)

set(CPACK_DEBIAN_FILE_NAME ${OSKEL_DEB_FILE})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${OSKEL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)

# The rpm's changelog is packaging/changelog, the Debian one, rewritten in rpm's format.
include(${CMAKE_CURRENT_LIST_DIR}/rpm_changelog.cmake)
oskel_rpm_changelog(${CMAKE_CURRENT_LIST_DIR}/changelog ${PROJECT_BINARY_DIR}/rpm-changelog)

set(CPACK_RPM_FILE_NAME ${OSKEL_RPM_FILE})
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_ARCHITECTURE ${OSKEL_RPM_ARCH})
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Keldra-proprietary")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_URL "https://keldra.example/sdk/oskel-info")
set(CPACK_RPM_PACKAGE_AUTOREQPROV OFF)
# Debian's synopsis starts in lower case, rpm's summary with a capital.
set(CPACK_RPM_PACKAGE_SUMMARY "Collect Keldra SDK oskel logs and configuration for support")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/rpm-changelog)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/doc/oskel-info/copyright")
# The package owns its own files only, not directories that belong to the system.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
string(CONCAT CPACK_RPM_SPEC_MORE_DEFINE
       "%define _build_id_links none\n"
       "%define packager ${CPACK_PACKAGE_CONTACT}\n"
       "%define _buildhost reproducible\n"
       "%define use_source_date_epoch_as_buildtime 1\n"
       "%define clamp_mtime_to_source_date_epoch 1\n"
       "%define _binary_payload w9.gzdio")

include(CPack)
