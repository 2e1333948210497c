# Writes OUTPUT, a header defining STRATAPERM_COMMIT: `git describe --always
# --dirty` of SOURCE_DIR when SOURCE_DIR is the top of a git checkout, else
# "unknown". Run at every build (cmake -DSOURCE_DIR=... -DOUTPUT=... -P this);
# the file is rewritten only when its text changes, so an unchanged commit
# recompiles nothing.
set(commit "unknown")
find_package(Git QUIET)
if(GIT_FOUND)
  # --no-optional-locks: only read the repository, never refresh its index.
  execute_process(COMMAND "${GIT_EXECUTABLE}" --no-optional-locks rev-parse --show-toplevel
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE top RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(status EQUAL 0)
    file(REAL_PATH "${top}" top)
    file(REAL_PATH "${SOURCE_DIR}" source)
  endif()
  # A source tree unpacked inside some other checkout is not that checkout.
  if(status EQUAL 0 AND top STREQUAL source)
    execute_process(COMMAND "${GIT_EXECUTABLE}" --no-optional-locks describe --always --dirty
                    WORKING_DIRECTORY "${SOURCE_DIR}"
                    OUTPUT_VARIABLE described RESULT_VARIABLE status
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(status EQUAL 0 AND described MATCHES "^[A-Za-z0-9._/+-]+$")
      set(commit "${described}")
    endif()
  endif()
endif()

set(text "// Generated at build time by cmake/write_commit_header.cmake.\n#pragma once\n#define STRATAPERM_COMMIT \"${commit}\"\n")
set(old "")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
