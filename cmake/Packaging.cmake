# SPDX-License-Identifier: Apache-2.0
# The files shipped beside the binary, and the .rpm that CPack makes of them
# (scripts/package; debian/ builds the .deb). Packages install under /usr;
# `cmake --install` keeps the prefix it is given.

# Debian wants manual pages compressed, without a time stamp in the header.
find_program(GZIP gzip REQUIRED)
set(QUENBURY_MAN ${CMAKE_BINARY_DIR}/man/quenbury.1)
add_custom_command(OUTPUT ${QUENBURY_MAN}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/doc/quenbury.1 ${QUENBURY_MAN}
  COMMAND ${GZIP} -9nf ${QUENBURY_MAN}
  DEPENDS ${CMAKE_SOURCE_DIR}/doc/quenbury.1
  VERBATIM)
add_custom_target(manual ALL DEPENDS ${QUENBURY_MAN}.gz)
install(FILES ${QUENBURY_MAN}.gz DESTINATION share/man/man1)

set(CPACK_PACKAGE_NAME quenbury)
set(CPACK_PACKAGE_VENDOR "The Quenbury developers")
set(CPACK_PACKAGE_CONTACT "Quenbury maintainers <maintainers@quenbury.example>")

# One changelog and one copyright file for both packages: Debian's, in
# debian/. A release names its version there and in project() alike.
file(STRINGS debian/changelog QUENBURY_CHANGELOG_TOP LIMIT_COUNT 1)
if(NOT QUENBURY_CHANGELOG_TOP MATCHES "^quenbury \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "debian/changelog begins \"${QUENBURY_CHANGELOG_TOP}\", not version ${PROJECT_VERSION}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS debian/changelog)
set(QUENBURY_CHANGELOG ${CMAKE_BINARY_DIR}/doc/changelog)
add_custom_command(OUTPUT ${QUENBURY_CHANGELOG}.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/debian/changelog ${QUENBURY_CHANGELOG}
  COMMAND ${GZIP} -9nf ${QUENBURY_CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/debian/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${QUENBURY_CHANGELOG}.gz)
install(FILES debian/copyright ${QUENBURY_CHANGELOG}.gz DESTINATION share/doc/quenbury)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetch one verified package for an endpoint-management agent")
set(CPACK_PACKAGE_DESCRIPTION "Quenbury downloads one file from an HTTP or HTTPS URL into the agent's store,
keeps resume data when a transfer breaks off, verifies the file's SHA-256 and
asks the agent's configuration whether it may download.")
set(CPACK_GENERATOR RPM)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_QUENBURY_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/RpmLicence.cmake ${CMAKE_SOURCE_DIR}/cmake/PackageTimes.cmake)

set(CPACK_RPM_FILE_NAME quenbury-${PROJECT_VERSION}.${CMAKE_SYSTEM_PROCESSOR}.rpm)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "Apache-2.0")
set(CPACK_RPM_PACKAGE_GROUP "Applications/System")
set(CPACK_RPM_PACKAGE_AUTOREQ ON)
# The man, licence and libexec folders belong to the system; build-id links
# would only clash.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/licenses /usr/libexec)
set(CPACK_RPM_USER_FILELIST "%license /usr/share/licenses/quenbury/LICENSE")
# A rebuild gives the same .rpm: the header's build time and every file's
# time come from SOURCE_DATE_EPOCH, and the header names no build machine.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define _build_id_links none
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _buildhost reproducible")

include(CPack)
