# Warnings and sanitizers shared by every target of the project.
add_library(zav_options INTERFACE)
# -Wnull-dereference is left out: with optimisation GCC 12 reports it inside libstdc++'s
# stream iterators, where no null pointer can occur. -Wrestrict is off for GCC 12 for the same
# reason: optimised builds report std::string's own copies of short literals as overlapping.
target_compile_options(zav_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<VERSION_LESS:$<CXX_COMPILER_VERSION>,13>>:-Wno-restrict>)

if(ZAV_SANITIZE)
  add_compile_options(-fsanitize=${ZAV_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ZAV_SANITIZE})
endif()

# zav_library(NAME SOURCES... [LIBS ...]): a static library of one layer.
function(zav_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} PRIVATE zav_options)
endfunction()

# zav_test(NAME SOURCES... [LIBS ...] [LABELS ...]): one GoogleTest executable, its cases
# registered with CTest one by one.
function(zav_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main
    zav_options)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    ZAV_SOURCE_DIR="${PROJECT_SOURCE_DIR}" ZAV_BINARY_DIR="${PROJECT_BINARY_DIR}")
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  # ZAV_TEST_WINDOWS_PROPERTIES: what the cross build's tests need under Wine (tests/).
  set(properties TIMEOUT ${ARG_TIMEOUT} ${ZAV_TEST_WINDOWS_PROPERTIES})
  if(ARG_LABELS)
    list(APPEND properties LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${properties})
endfunction()
