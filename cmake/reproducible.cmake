# Reproducible builds: two builds of one commit, in any two directories, give the same
# padbridge.exe (windows preset) and padbridge-sim (linux preset) byte for byte.
# scripts/check-reproducible proves it.
#
# - No build paths: the source and build directories are mapped to fixed names in everything
#   the compiler writes (__FILE__, debug information).
# - No archive dates or owners: static libraries are written with ar's D modifier (Debian's
#   default already, spelled out for other hosts).
# - The PE header's time stamp is the last commit's date. ld takes it from SOURCE_DATE_EPOCH in
#   its environment, so padbridge's link runs under that variable. PADBRIDGE_SOURCE_DATE_EPOCH
#   overrides it; otherwise the environment's SOURCE_DATE_EPOCH, otherwise `git log`, otherwise
#   (no git) the stamp is 0. An ELF file carries no time stamp; its build id is a hash of its
#   contents.

add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")

foreach(lang C CXX)
  set(CMAKE_${lang}_ARCHIVE_CREATE "<CMAKE_AR> qcD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_APPEND "<CMAKE_AR> qD <TARGET> <LINK_FLAGS> <OBJECTS>")
  set(CMAKE_${lang}_ARCHIVE_FINISH "<CMAKE_RANLIB> -D <TARGET>")
endforeach()

set(PADBRIDGE_SOURCE_DATE_EPOCH "" CACHE STRING
    "PE time stamp of padbridge.exe, seconds since 1970 (empty: SOURCE_DATE_EPOCH or the last commit)")

function(padbridge_source_date_epoch out)
  set(epoch "${PADBRIDGE_SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "" AND DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  if(epoch STREQUAL "")
    execute_process(COMMAND git log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT epoch MATCHES "^[0-9]+$")
    set(epoch "")
  endif()
  set(${out} "${epoch}" PARENT_SCOPE)
endfunction()

# Links `target` with its PE time stamp fixed.
function(padbridge_stamp_from_source_date target)
  padbridge_source_date_epoch(epoch)
  if(epoch STREQUAL "")
    target_link_options(${target} PRIVATE -Wl,--no-insert-timestamp)
  else()
    set_target_properties(${target} PROPERTIES
      CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${epoch}")
  endif()
endfunction()
