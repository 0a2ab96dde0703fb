# Writes the build's description, one fact a line: version, commit, build date (UTC).
find_package(Git QUIET)
set(commit "nieznany")
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SRC} rev-parse --short=12 HEAD
    OUTPUT_VARIABLE out RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(rc EQUAL 0 AND out)
    set(commit "${out}")
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SRC} status --porcelain --untracked-files=no
      OUTPUT_VARIABLE dirty OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(dirty)
      set(commit "${commit} ze zmianami")
    endif()
  endif()
endif()
string(TIMESTAMP built "%Y-%m-%d %H:%M UTC" UTC)
file(WRITE ${OUT} "wersja ${VERSION}\ncommit ${commit}\nzbudowano ${built}\n")
