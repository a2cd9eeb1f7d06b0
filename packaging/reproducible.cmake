# Read by cpack before it packs: every file of the package is dated
# SOURCE_DATE_EPOCH, so that two packages of one commit are the same bytes.
# A date the caller gives wins; else the time of the last commit, or without
# git (a source tarball) the date of the 1.1.3 changelog entry.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_NORVASK_SOURCE_DIR}" log -1 --format=%ct
    RESULT_VARIABLE status OUTPUT_VARIABLE epoch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
    set(epoch 1796600700)  # Sun, 06 Dec 2026 23:45:00 +0000
  endif()
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
endif()
