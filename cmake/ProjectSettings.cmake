# Warning and sanitizer flags shared by every target of the project.
# Targets opt in by linking `project_settings` (PRIVATE); the installed
# qovautils library carries none of these flags to its consumers.

add_library(project_settings INTERFACE)
target_compile_options(project_settings INTERFACE -Wall -Wextra)
if(PWD_WERROR)
  target_compile_options(project_settings INTERFACE -Werror)
endif()

if(PWD_SANITIZE)
  # Applied globally so that test doubles, shared libraries and executables
  # all share one sanitizer runtime; any finding aborts the process.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined -fno-sanitize-recover=all)
endif()

if(PWD_FUZZ)
  # Every object gets libFuzzer's coverage hooks and the sanitizers; only the
  # fuzz targets link libFuzzer itself (fuzz/CMakeLists.txt).
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "PWD_FUZZ needs clang (-DCMAKE_CXX_COMPILER=clang++-14)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
