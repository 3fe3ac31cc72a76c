# Build helpers shared by every area: test executables, fuzz targets, benchmarks.
find_package(GTest REQUIRED)
include(GoogleTest)

# wwan_add_gtest(<target> LABEL <area> [LABELS more...] SOURCES ... [LIBS ...])
# Each test case runs in its own process, so tests that touch a driver's globals stay apart.
function(wwan_add_gtest target)
  cmake_parse_arguments(T "" "LABEL" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} wwan_test_main GTest::gmock)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABEL}" TIMEOUT 300)
  # Further labels: the discovery's property passing splits a list value, so they are set on the
  # discovered tests (their names are in <target>_TESTS) by a script that runs after the discovery's.
  if(T_LABELS)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake)
    file(WRITE ${script} "if(DEFINED ${target}_TESTS)\n  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${T_LABEL};${T_LABELS}\")\nendif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
  endif()
endfunction()

# wwan_add_fuzz(<target> LABEL <area> SOURCES ... [LIBS ...])
# With WWAN_FUZZ the target is a libFuzzer binary; otherwise it replays its seed corpus
# (tests/fuzz/corpus/<target>) as an ordinary test.
function(wwan_add_fuzz target)
  cmake_parse_arguments(F "" "LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${F_SOURCES})
  target_link_libraries(${target} PRIVATE ${F_LIBS})
  set(corpus ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus/${target})
  if(WWAN_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer)
    target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    set_property(GLOBAL APPEND PROPERTY WWAN_FUZZ_TARGETS ${target})
  else()
    target_link_libraries(${target} PRIVATE wwan_fuzz_replay)
    add_test(NAME fuzz.${target} COMMAND ${target} ${corpus})
    set_tests_properties(fuzz.${target} PROPERTIES LABELS "${F_LABEL};fuzz" TIMEOUT 300)
  endif()
endfunction()

# wwan_add_driver_image(<target> SOURCES ... [EXPORTS symbols...] [LIBS ...])
# A driver image as the emulated host loads it: a shared library with hidden symbols that exports only
# its entry points (DriverEntry by default) through a version script, binds its own symbols to itself
# (-Bsymbolic) and links the platform dynamically with every reference resolved (--no-undefined).
# The host attributes pool, objects and traces to the image a call returns to, so calls into the host
# are never turned into tail jumps (which would return into the host instead).
function(wwan_add_driver_image target)
  cmake_parse_arguments(D "" "" "SOURCES;EXPORTS;LIBS" ${ARGN})
  if(NOT D_EXPORTS)
    set(D_EXPORTS DriverEntry)
  endif()
  add_library(${target} SHARED ${D_SOURCES})
  target_link_libraries(${target} PRIVATE platform ${D_LIBS})
  list(JOIN D_EXPORTS "; " symbols)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${script} "{\n  global: ${symbols};\n  local: *;\n};\n")
  set_target_properties(${target} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
                                             LINK_DEPENDS ${script})
  target_compile_options(${target} PRIVATE -fno-optimize-sibling-calls)
  target_link_options(${target} PRIVATE -Wl,--version-script=${script} -Wl,-Bsymbolic)
  if(NOT (WWAN_SANITIZE AND CMAKE_CXX_COMPILER_ID MATCHES "Clang"))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
