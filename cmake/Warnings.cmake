# Every target of the project builds with the same warnings, and warnings
# fail the build, so the tree stays clean.
add_library(velmario_warnings INTERFACE)
target_compile_options(velmario_warnings INTERFACE
  $<$<CXX_COMPILER_ID:GNU,Clang>:-Wall -Wextra -Wpedantic -Werror>
  $<$<CXX_COMPILER_ID:MSVC>:/W4 /WX>)

if(VELMARIO_SANITIZE)
  target_compile_options(velmario_warnings INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  target_link_options(velmario_warnings INTERFACE -fsanitize=address,undefined)
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
