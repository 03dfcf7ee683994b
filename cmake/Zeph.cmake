# Shared build helpers for every component.

if(MSVC)
  add_compile_options(/W4)
else()
  add_compile_options(-Wall -Wextra)
endif()

if(WIN32)
  set(ZEPH_LINUX OFF)
else()
  set(ZEPH_LINUX ON)
endif()

# True when this build makes the 32-bit user-mode half (always on Linux).
if(ZEPH_LINUX OR ZEPH_WINDOWS_PART STREQUAL "X86")
  set(ZEPH_BUILD_X86 ON)
else()
  set(ZEPH_BUILD_X86 OFF)
endif()
# True when this build makes the 64-bit half: driver, installer, class installer (always on Linux).
if(ZEPH_LINUX OR ZEPH_WINDOWS_PART STREQUAL "X64")
  set(ZEPH_BUILD_X64 ON)
else()
  set(ZEPH_BUILD_X64 OFF)
endif()

# winapi: what user-mode product code links for the platform (the stand-in on Linux, system DLLs on Windows).
# wdk: what kernel-mode product code links.
if(NOT TARGET winapi)
  add_library(winapi INTERFACE)
  add_library(wdk INTERFACE)
  if(WIN32)
    target_link_libraries(winapi INTERFACE kernel32 user32 advapi32 version)
  endif()
endif()

# A product shared library: hidden symbols, only its factory exported, named as on Windows.
function(zeph_product_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE w32cpp winapi ${ARG_LIBS})
  if(WIN32 AND NOT MSVC)
    target_link_options(${name} PRIVATE -static -Wl,--kill-at)
  endif()
endfunction()

# A product program (user mode).
function(zeph_product_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE w32cpp winapi ${ARG_LIBS})
  if(WIN32 AND NOT MSVC)
    target_link_options(${name} PRIVATE -static)
  endif()
endfunction()

if(ZEPH_LINUX AND ZEPH_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
  # Shared test helpers (bounded waits); every test links it.
  add_library(zeph_testsupport INTERFACE)
  target_include_directories(zeph_testsupport INTERFACE ${CMAKE_CURRENT_LIST_DIR}/../tests/support/include)
endif()

# A GoogleTest executable registered with CTest, one CTest entry per test case.
# LABELS threading marks tests that the ThreadSanitizer pass runs too.
function(zeph_test name)
  if(NOT ZEPH_LINUX OR NOT ZEPH_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zeph_testsupport GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(labels ${ARG_LABELS})
  if(NOT labels)
    set(labels unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT})
endfunction()
