# Writes the source that tells the programs their version and the commit
# they were built from. Run at every build (cmake -P), it rewrites OUT only
# when the text changes, so an unchanged checkout rebuilds nothing.
#   -DOUT=<file> -DVERSION=<x.y.z> -DSOURCE_DIR=<top of the checkout>
set(commit "")
find_program(GIT git)
if(GIT AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(commit "")
  else()
    # Tracked files that differ from the commit make it a modified build.
    execute_process(COMMAND "${GIT}" -C "${SOURCE_DIR}" diff --quiet HEAD --
                    RESULT_VARIABLE modified ERROR_QUIET)
    if(modified EQUAL 1)
      string(APPEND commit "-modified")
    endif()
  endif()
endif()
set(text "// Generated at build time; do not edit.\n#include \"simulator/Version.h\"\n\n")
string(APPEND text "const char* KorvanVersion() { return \"${VERSION}\"; }\n")
string(APPEND text "const char* KorvanCommit() { return \"${commit}\"; }\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
