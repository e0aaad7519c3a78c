# SPDX-License-Identifier: Apache-2.0
# Run by CPack on the staged files before it packs them: every file and folder
# takes the time SOURCE_DATE_EPOCH gives. Installing keeps a source file's own
# time, which is when it was checked out, so without this two checkouts of one
# commit would give different packages.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find ${CPACK_TEMPORARY_INSTALL_DIRECTORY} -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
    COMMAND_ERROR_IS_FATAL ANY)
endif()
