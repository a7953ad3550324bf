# QmrBuildInfo.cmake - what the library's build text says: the source it was built from and
# when that source was made, never who built it, where, or at what time. A release build from
# a source package takes the date from SOURCE_DATE_EPOCH (dpkg-buildpackage sets it from the
# changelog); a build from a git checkout names the commit and its date.
set(QMR_SOURCE_ID "unknown")
set(QMR_SOURCE_DATE "unknown date")
find_program(QMR_GIT git)
if(QMR_GIT AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${QMR_GIT} -C ${CMAKE_SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    set(QMR_SOURCE_ID "git ${commit}")
    execute_process(COMMAND ${QMR_GIT} -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # A new commit or checkout moves HEAD's log: configure again, so the text stays true.
    execute_process(COMMAND ${QMR_GIT} -C ${CMAKE_SOURCE_DIR} rev-parse --git-path logs/HEAD
                    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(head_log AND NOT IS_ABSOLUTE ${head_log})
      set(head_log ${CMAKE_SOURCE_DIR}/${head_log})
    endif()
    if(head_log AND EXISTS ${head_log})
      set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   ${head_log})
    endif()
  endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP QMR_SOURCE_DATE "%Y-%m-%d %H:%M:%S UTC" UTC)  # formats the variable's time
elseif(epoch)
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  string(TIMESTAMP QMR_SOURCE_DATE "%Y-%m-%d %H:%M:%S UTC" UTC)
  unset(ENV{SOURCE_DATE_EPOCH})
endif()
