# SPDX-License-Identifier: MIT
# The module's own compiler options, kept here alone: CMakeLists.txt builds with them, and
# scripts/windows_check cross-compiles with the same ones, which it reads with
# `cmake -DPRINT=GNU -P cmake/compile_options.cmake` (or PRINT=MSVC).

# Errors are Python exceptions and nothing asks for a dynamic type: without C++ exceptions and RTTI the
# module needs no unwinder, personality routine or type_info from the C++ runtime.
set(SABLEWICK_GNU_OPTIONS -Wall -Wextra -Werror -fno-exceptions -fno-rtti)
# The interpreter's headers are included as external ones: warnings are ours alone.
set(SABLEWICK_MSVC_OPTIONS /W4 /WX /utf-8 /external:W0)

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED PRINT)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E echo ${SABLEWICK_${PRINT}_OPTIONS})
endif()
