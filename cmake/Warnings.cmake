# Every target of the project builds with the same warnings. Warnings fail
# the build only when asked (scripts/test.sh asks, so the tree stays clean):
# a packager's or a newer compiler's new warning must not stop a build.
option(VELMARIO_WERROR "Treat compiler warnings as errors" OFF)

add_library(velmario_warnings INTERFACE)
target_compile_options(velmario_warnings INTERFACE
  $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic>
  $<$<CXX_COMPILER_ID:MSVC>:/W4>)
if(VELMARIO_WERROR)
  target_compile_options(velmario_warnings INTERFACE
    $<$<CXX_COMPILER_ID:GNU,Clang>:-Werror>
    $<$<CXX_COMPILER_ID:MSVC>:/WX>)
  # GCC 12's -Wrestrict misfires on std::string's operator+ once inlined at
  # -O3 (GCC bug 105329): shown, never fatal.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(velmario_warnings INTERFACE -Wno-error=restrict)
  endif()
endif()

if(VELMARIO_SANITIZE)
  target_compile_options(velmario_warnings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(velmario_warnings INTERFACE -fsanitize=address,undefined)
endif()
if(VELMARIO_TSAN)
  if(VELMARIO_SANITIZE)
    message(FATAL_ERROR "VELMARIO_TSAN and VELMARIO_SANITIZE cannot be combined")
  endif()
  target_compile_options(velmario_warnings INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(velmario_warnings INTERFACE -fsanitize=thread)
endif()
if(VELMARIO_FUZZ)
  target_compile_options(velmario_warnings INTERFACE -fsanitize=fuzzer-no-link)
endif()

function(velmario_target_defaults target)
  target_link_libraries(${target} PRIVATE velmario_warnings)
  target_compile_definitions(${target} PRIVATE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT)
endfunction()
