# Shared build helpers for every component.

# Warnings as errors: the CI presets set it, so a new warning fails the test pass.
option(ZEPH_WERROR "Treat compiler warnings as errors" OFF)

if(MSVC)
  add_compile_options(/W4)
  if(ZEPH_WERROR)
    add_compile_options(/WX)
  endif()
else()
  add_compile_options(-Wall -Wextra)
  if(ZEPH_WERROR)
    add_compile_options(-Werror)
  endif()
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

# Hidden symbols by default: what a library shows is only what it marks for export.
function(zeph_hidden_visibility target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

# The names each deliverable exports, one table for the build and for scripts/check-exports.sh.
set(ZEPH_EXPORT_TABLE ${CMAKE_CURRENT_LIST_DIR}/exports.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZEPH_EXPORT_TABLE})

# Sets out to the names the table lists for a deliverable (empty when it is not listed).
function(zeph_export_names deliverable out)
  file(STRINGS ${ZEPH_EXPORT_TABLE} lines REGEX "^[ \t]*[^# \t]")
  set(names)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    string(REGEX REPLACE "[ \t]+" ";" words "${line}")
    list(POP_FRONT words first)
    if(first STREQUAL deliverable)
      list(TRANSFORM words REPLACE "^linux:" "")
      list(APPEND names ${words})
    endif()
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()

# On Linux a deliverable listed in the table exports its names and what the platform needs
# (DllMain for the loader, the type of the exception thrown across libraries) and nothing else:
# hidden visibility alone still lets weak template instantiations of the standard library out.
function(zeph_limit_exports target)
  get_target_property(done ${target} ZEPH_EXPORTS_LIMITED)
  if(NOT ZEPH_LINUX OR done)
    return()
  endif()
  set_target_properties(${target} PROPERTIES ZEPH_EXPORTS_LIMITED ON)
  get_target_property(file_name ${target} OUTPUT_NAME)
  if(NOT file_name)
    set(file_name ${target})
  endif()
  zeph_export_names(${file_name} names)
  if(NOT names)
    return()
  endif()
  set(script "{\n  global:\n")
  foreach(n IN LISTS names ITEMS DllMain
          _ZTIN6w32cpp22use_count_base_is_zeroE _ZTSN6w32cpp22use_count_base_is_zeroE
          _ZTVN6w32cpp22use_count_base_is_zeroE)
    string(APPEND script "    ${n};\n")
  endforeach()
  string(APPEND script "  local: *;\n};\n")
  set(map ${CMAKE_BINARY_DIR}/exports/${file_name}.map)
  file(CONFIGURE OUTPUT ${map} CONTENT "${script}" @ONLY)
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

# A product shared library: hidden symbols, only its factory exported, named as on Windows.
function(zeph_product_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "")
  zeph_hidden_visibility(${name})
  # At the end of the calling folder, so that an OUTPUT_NAME set after this call is the name looked up.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL zeph_limit_exports [[${name}]])")
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

if(ZEPH_LINUX)
  # Shared test helpers (bounded waits, the kernel stand-in's rule checks); every test links it, and
  # so does a benchmark built on a test's fake.
  add_library(zeph_testsupport INTERFACE)
  target_include_directories(zeph_testsupport INTERFACE ${CMAKE_CURRENT_LIST_DIR}/../tests/support/include)
endif()
if(ZEPH_LINUX AND ZEPH_TESTS)
  enable_testing()
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()

# A GoogleTest executable registered with CTest, one CTest entry per test case.
# LABELS threading marks tests that the ThreadSanitizer pass runs too.
function(zeph_test name)
  if(NOT ZEPH_LINUX OR NOT ZEPH_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # No test uses gmock; a suite that needs it adds GTest::gmock to its LIBS.
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} zeph_testsupport GTest::gtest GTest::gtest_main)
  # Per case. Every wait in a test has a deadline well below this (zephtest/wait.h); a suite whose
  # cases really need longer passes TIMEOUT and says why.
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 60)
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
