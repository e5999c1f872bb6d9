# SPDX-License-Identifier: MIT
# Read by ctest once the end-to-end tests are discovered: what single tests
# need beyond the suite's defaults, by name.

# Tests that write hundreds of MiB; `ctest -LE slow` runs the rest.
set(slowTests EndToEnd.InPlaceContentUnderAMemoryLimitCostsNoBystanderItsLife)

# Tests that mount file systems, loop images but for a tmpfs. Each holds a
# lock on the machine while it mounts (LoopMountLock); within one ctest run,
# the resource lock keeps them apart without a wait, and the timeout leaves
# room for a wait on another run.
set(loopMountTests
    NearlyFullDisk.SucceedsWhereAPlainWriteDoesAndElseChangesNothing
    PlainOpen.Ext4ReplacementKeepsEveryFlagAndTrustedAttribute
    PlainOpen.XfsReplacementKeepsProjectIdDaxAndExtentSizeHints
    PlainOpen.BtrfsReplacementKeepsCompressionAndNoCopyOnWrite
    PlainOpen.TmpfsShortOfInodesIsWrittenWhereAPlainWriteIs
    EndToEnd.InPlaceContentUnderAMemoryLimitCostsNoBystanderItsLife)

# A renamed test would lose its properties without a word.
foreach(test IN LISTS slowTests loopMountTests)
  list(FIND endToEndTests_TESTS "${test}" found)
  if(endToEndTests_TESTS AND found EQUAL -1)
    message(FATAL_ERROR "${CMAKE_CURRENT_LIST_FILE} names ${test}, which is no end-to-end test")
  endif()
endforeach()
set_tests_properties(${loopMountTests} PROPERTIES RESOURCE_LOCK loopMounts TIMEOUT 600)
set_tests_properties(${slowTests} PROPERTIES LABELS slow)
