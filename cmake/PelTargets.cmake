# Helpers shared by every target of the project.

# Compile options for our own code.
add_library(pel_warnings INTERFACE)
target_compile_options(pel_warnings INTERFACE -Wall -Wextra)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports "may be used uninitialized" inside std::variant and
  # std::optional moves at -O2 where nothing is uninitialised.
  target_compile_options(pel_warnings INTERFACE -Wno-maybe-uninitialized)
endif()
if(PEL_WERROR)
  target_compile_options(pel_warnings INTERFACE -Werror)
endif()

if(PEL_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(PEL_SANITIZED=1)
endif()

if(PEL_BUILD_FUZZERS)
  # The libraries that fuzz targets drive need coverage feedback and the
  # sanitizers too, not only the targets' own sources.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# pel_add_library(<name> [DEPS <targets...>] [PRIVATE_DEPS <targets...>])
# One static library per source folder; every .cpp/.c in the calling folder
# (recursively) belongs to it, and the folder's parent is the include root, so
# code includes headers as "Platform/Value.h", "Foundation/ZArray.h", ...
function(pel_add_library name)
  cmake_parse_arguments(ARG "" "INCLUDE_ROOT" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  add_library(${name} STATIC ${sources})
  if(NOT ARG_INCLUDE_ROOT)
    set(ARG_INCLUDE_ROOT "${PROJECT_SOURCE_DIR}/src")
  endif()
  target_include_directories(${name} PUBLIC "${ARG_INCLUDE_ROOT}")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE pel_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# pel_add_test_suite(<name> LIBS <targets...>)
# One GoogleTest executable per tested library, built from the .cpp files of
# the calling folder and registered with CTest test by test.
function(pel_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} pel_test_support GTest::gtest GTest::gmock GTest::gtest_main pel_warnings)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# pel_add_benchmark(<name> SOURCES <files...> LIBS <targets...>)
function(pel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main pel_warnings)
endfunction()
