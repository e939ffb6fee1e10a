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

# ThreadSanitizer keeps its own shadow memory and cannot share a process
# with AddressSanitizer: a build uses one or the other.
if(PEL_SANITIZE_THREAD)
  if(PEL_SANITIZE OR PEL_BUILD_FUZZERS)
    message(FATAL_ERROR "PEL_SANITIZE_THREAD cannot be combined with PEL_SANITIZE or PEL_BUILD_FUZZERS "
                        "(both use AddressSanitizer): configure a build folder of its own for it")
  endif()
  # GCC warns that ThreadSanitizer does not model std::atomic_thread_fence;
  # only the crash reporter's lock-free lists use fences, and their suites
  # are not run under ThreadSanitizer.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
  # Tests that scale their work down for the slower sanitizer builds do so here too.
  add_compile_definitions(PEL_SANITIZED=1)
endif()

if(PEL_BUILD_FUZZERS)
  # Instrument the libraries as well, so the fuzzers see coverage inside them.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# pel_folder_sources(<out-var> <patterns...>)
# The sources of the calling folder and its sub-folders, less those of any
# sub-folder that is a library or test suite of its own (has a CMakeLists.txt).
function(pel_folder_sources out)
  set(globs)
  foreach(pattern IN LISTS ARGN)
    list(APPEND globs "${CMAKE_CURRENT_SOURCE_DIR}/${pattern}")
  endforeach()
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${globs})
  file(GLOB_RECURSE nested LIST_DIRECTORIES false CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt")
  foreach(list_file IN LISTS nested)
    get_filename_component(subdir "${list_file}" DIRECTORY)
    list(FILTER sources EXCLUDE REGEX "^${subdir}/")
  endforeach()
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# pel_add_library(<name> [DEPS <targets...>] [PRIVATE_DEPS <targets...>])
# One static library per source folder; every .cpp/.c in the calling folder
# (recursively, less sub-folders with a CMakeLists.txt of their own) belongs to it, and the folder's parent is the include root, so
# code includes headers as "Platform/Values/Value.h", "Foundation/ZArray.h", ...
function(pel_add_library name)
  cmake_parse_arguments(ARG "" "INCLUDE_ROOT" "DEPS;PRIVATE_DEPS" ${ARGN})
  pel_folder_sources(sources "*.cpp" "*.c")
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
  pel_folder_sources(sources "*.cpp")
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} pel_test_support GTest::gtest GTest::gmock GTest::gtest_main pel_warnings)
  # Each suite's tests carry its name as a label: ctest -L '^platform_tests$'.
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS ${name} ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# pel_add_benchmark(<name> SOURCES <files...> LIBS <targets...>)
function(pel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark benchmark::benchmark_main pel_warnings)
endfunction()

# pel_add_present_subdirectories(<folders...>)
# Adds each listed folder of the calling directory that has a CMakeLists.txt.
function(pel_add_present_subdirectories)
  foreach(dir IN LISTS ARGN)
    if(EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
