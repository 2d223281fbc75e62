# Helpers shared by the test suites and the fixture plug-ins.
include(GoogleTest)
find_package(GTest REQUIRED)

# Where the fixture plug-ins are laid out as real .vst3 bundles.
set(TV3_FIXTURE_DIR "${CMAKE_BINARY_DIR}/fixtures")

# Machine folder name inside a bundle's Contents/, as VST3 on Linux spells it.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(TV3_BUNDLE_ARCH "x86_64-linux")
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(TV3_BUNDLE_ARCH "aarch64-linux")
else()
  set(TV3_BUNDLE_ARCH "${CMAKE_SYSTEM_PROCESSOR}-linux")
endif()

# tv3_add_fixture_plugin(<name> SOURCES ... [DEFINITIONS ...] [LIBS ...] [ARCH <arch-linux>])
# Builds <name>.vst3/Contents/<arch>/<name>.so under TV3_FIXTURE_DIR.
function(tv3_add_fixture_plugin name)
  cmake_parse_arguments(FX "" "ARCH" "SOURCES;DEFINITIONS;LIBS" ${ARGN})
  if(NOT FX_ARCH)
    set(FX_ARCH "${TV3_BUNDLE_ARCH}")
  endif()
  add_library(${name} MODULE ${FX_SOURCES})
  target_link_libraries(${name} PRIVATE vst3_interfaces Threads::Threads ${FX_LIBS})
  target_compile_definitions(${name} PRIVATE ${FX_DEFINITIONS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests/plugins")
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    OUTPUT_NAME "${name}"
    CXX_VISIBILITY_PRESET hidden
    LIBRARY_OUTPUT_DIRECTORY "${TV3_FIXTURE_DIR}/${name}.vst3/Contents/${FX_ARCH}")
  set_property(GLOBAL APPEND PROPERTY TV3_FIXTURE_TARGETS ${name})
endfunction()

# tv3_add_test_suite(<name> SOURCES ... [LIBS ...] [LABELS ...])
# One GoogleTest executable; every test case runs as its own ctest test, in a
# process of its own (the module cache is process-wide and never shrinks).
function(tv3_add_test_suite name)
  cmake_parse_arguments(TS "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${TS_SOURCES})
  target_link_libraries(${name} PRIVATE ${TS_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/tests")
  target_compile_definitions(${name} PRIVATE
    TV3_FIXTURE_DIR="${TV3_FIXTURE_DIR}"
    TV3_BUNDLE_ARCH="${TV3_BUNDLE_ARCH}"
    TV3_HELPER_PATH="$<TARGET_FILE:TarvelVST3Host>")
  get_property(fixtures GLOBAL PROPERTY TV3_FIXTURE_TARGETS)
  if(fixtures)
    add_dependencies(${name} ${fixtures})
  endif()
  add_dependencies(${name} TarvelVST3Host)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${TS_LABELS}")
endfunction()
