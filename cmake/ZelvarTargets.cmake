# Shared settings for every target of ours: warnings are errors, sanitizers follow ZV_SANITIZE.

set(ZV_SANITIZER_FLAGS "")
if(ZV_BUILD_FUZZERS)
  # Every library a fuzzer reaches must carry the coverage and the sanitizers, not only the
  # fuzzer's own file.
  set(ZV_SANITIZER_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
elseif(ZV_SANITIZE)
  list(JOIN ZV_SANITIZE "," _zv_sanitizers)
  set(ZV_SANITIZER_FLAGS -fsanitize=${_zv_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()

# lld links a test program in a third of the time the default linker takes, and a build links
# about a hundred of them; without it the default linker does the same job.
include(CheckLinkerFlag)
check_linker_flag(CXX -fuse-ld=lld ZV_HAVE_LLD)
set(ZV_LINKER_FLAGS "")
if(ZV_HAVE_LLD)
  set(ZV_LINKER_FLAGS -fuse-ld=lld)
endif()

function(zv_apply_settings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror ${ZV_SANITIZER_FLAGS})
  target_link_options(${target} PRIVATE ${ZV_SANITIZER_FLAGS} ${ZV_LINKER_FLAGS})
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# zv_library(NAME SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(zv_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  zv_apply_settings(${name})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_LIBS} PRIVATE ${ARG_PRIVATE_LIBS})
endfunction()

# zv_test(NAME SOURCES ... LIBS ... [LABELS ...]): one GoogleTest executable, its cases registered
# with ctest one by one so that failures name the case. Every test links the shared test support
# (testsupport/).
# The test code itself is built without optimisation, whatever the build type: it then compiles in
# half the time, and the code it tests comes from the libraries, built as the build type says.
function(zv_test name)
  if(NOT ZV_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zv_apply_settings(${name})
  target_compile_options(${name} PRIVATE -O0)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zv_test_support GTest::gtest GTest::gmock
    GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE ZV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${ARG_LABELS}")
  if("threaded" IN_LIST ARG_LABELS)
    zv_needed_by_threaded_tests(${name})
  endif()
endfunction()

# zv_needed_by_threaded_tests(TARGET ...): what the tests labelled "threaded" run. The tsan preset
# runs only those, so it builds only these and what they link, not the GUI or the other tests.
function(zv_needed_by_threaded_tests)
  if(NOT TARGET zv_threaded_tests)
    add_custom_target(zv_threaded_tests)
  endif()
  add_dependencies(zv_threaded_tests ${ARGN})
endfunction()

# zv_fuzzer(NAME SOURCE ... LIBS ...): a libFuzzer target, built only with ZV_BUILD_FUZZERS (clang).
function(zv_fuzzer name)
  if(NOT ZV_BUILD_FUZZERS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zv_apply_settings(${name})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  # The fuzz preset builds only the fuzzers and what they link, not the programs around them.
  if(NOT TARGET zv_fuzzers)
    add_custom_target(zv_fuzzers)
  endif()
  add_dependencies(zv_fuzzers ${name})
endfunction()

# zv_benchmark(SOURCES ... LIBS ...): adds Google Benchmark sources to build/bin/zelvar-benchmarks,
# which bench/ assembles once every layer has had its say.
function(zv_benchmark)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  foreach(source IN LISTS ARG_SOURCES)
    set_property(GLOBAL APPEND PROPERTY ZV_BENCHMARK_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${source})
  endforeach()
  set_property(GLOBAL APPEND PROPERTY ZV_BENCHMARK_LIBS ${ARG_LIBS})
endfunction()
