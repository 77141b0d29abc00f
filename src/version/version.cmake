# cmake -P: writes OUTPUT (from TEMPLATE) and VERSION_FILE with this tree's
# version, VERSION+gitYYYYMMDD.COMMIT: the commit's date (UTC, so that later
# commits sort after earlier ones as Debian versions) and its first 12 hex
# digits, then ".modified" when tracked files differ from that commit. Outside
# a git checkout it is VERSION alone. VERSION_FILE has the commit's time (seconds
# since 1970) on its second line, for the packages' changelogs. Files are
# rewritten only when they change.
set(full_version ${VERSION})
set(commit_time "")
find_program(GIT_COMMAND git)
if(GIT_COMMAND)
  execute_process(COMMAND ${GIT_COMMAND} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
    OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC
        ${GIT_COMMAND} -C ${SOURCE_DIR} show -s --format=%cd%n%ct --date=format-local:%Y%m%d HEAD
      OUTPUT_VARIABLE date_and_time OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REPLACE "\n" ";" date_and_time "${date_and_time}")
    list(GET date_and_time 0 date)
    list(GET date_and_time 1 commit_time)
    # No optional locks: a build never holds up the author's own git commands.
    execute_process(COMMAND ${GIT_COMMAND} --no-optional-locks -C ${SOURCE_DIR} status --porcelain
        --untracked-files=no
      OUTPUT_VARIABLE changes OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(full_version "${VERSION}+git${date}.${commit}")
    if(changes)
      string(APPEND full_version ".modified")
    endif()
  endif()
endif()
set(CORVEX_FULL_VERSION ${full_version})
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
file(CONFIGURE OUTPUT ${VERSION_FILE} CONTENT "${full_version}\n${commit_time}\n")
