# SPDX-License-Identifier: Apache-2.0
# Run by CPack on the staged files before it packs them: the .rpm carries the
# licence's text where RPM systems keep licences. The .deb needs none; its
# copyright file points to Debian's own copy.
if(CPACK_GENERATOR STREQUAL "RPM")
  file(COPY ${CPACK_QUENBURY_LICENSE}
    DESTINATION ${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/licenses/quenbury
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
