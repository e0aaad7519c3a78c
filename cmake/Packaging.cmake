# SPDX-License-Identifier: Apache-2.0
# The files shipped beside the binary, and the .deb and .rpm that CPack makes
# of them (scripts/package). Packages install under /usr; `cmake --install`
# keeps the prefix it is given.

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

# Debian wants a changelog in its own format; one entry for this version,
# dated SOURCE_DATE_EPOCH when set so that a rebuild is the same.
string(TIMESTAMP QUENBURY_RELEASE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(doc/changelog.in ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
  COMMAND ${GZIP} -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
  DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
install(FILES doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION share/doc/quenbury)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetch one verified package for an endpoint-management agent")
set(CPACK_PACKAGE_DESCRIPTION "Quenbury downloads one file from an HTTP or HTTPS URL into the agent's store,
keeps resume data when a transfer breaks off, verifies the file's SHA-256 and
asks the agent's configuration whether it may download.")
set(CPACK_GENERATOR DEB RPM)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_QUENBURY_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/RpmLicence.cmake ${CMAKE_SOURCE_DIR}/cmake/PackageTimes.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

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
