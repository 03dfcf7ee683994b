# The deliverable tavobridge: the TAVO_ functions over the instrument API bound at run time.

# The link state and the functions, apart from the exports, so tests drive them over their own
# instrument API.
add_library(tavobridge_flat STATIC
  ${CMAKE_CURRENT_LIST_DIR}/src/flat_api.cpp
  ${CMAKE_CURRENT_LIST_DIR}/src/flat_convert.cpp)
target_include_directories(tavobridge_flat PUBLIC
  ${CMAKE_CURRENT_LIST_DIR}/include ${CMAKE_CURRENT_LIST_DIR}/src)
target_link_libraries(tavobridge_flat PUBLIC w32cpp winapi)
zeph_hidden_visibility(tavobridge_flat)

# The instrument API's client classes and the port objects, when this tree has them.
if(TARGET morvex_client AND TARGET tavobridge_ports)
  set(tavo_env ${CMAKE_CURRENT_LIST_DIR}/src/flat_morvex.cpp)
  if(NOT WIN32)
    # The device classes' type information lives in the instrument API library alone (hidden), so
    # the sanitizer's type check of their inline members cannot be linked here.
    set_source_files_properties(${tavo_env} PROPERTIES COMPILE_OPTIONS -fno-sanitize=vptr)
  endif()
  set(tavo_env_libs morvex_client tavobridge_ports)
  # The modem port object, once it is in the tree.
  if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/include/tavobridge/TapiComPort.h)
    set(tavo_env_defs TAVO_HAS_MODEM=1)
  endif()
else()
  set(tavo_env ${CMAKE_CURRENT_LIST_DIR}/src/flat_unbound.cpp)
  set(tavo_env_libs)
endif()
zeph_product_library(tavobridge
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/src/flat_exports.cpp ${tavo_env}
  LIBS tavobridge_flat ${tavo_env_libs})
target_compile_definitions(tavobridge PRIVATE ${tavo_env_defs})
if(WIN32)
  # Exactly the 28 names, undecorated.
  target_sources(tavobridge PRIVATE ${CMAKE_CURRENT_LIST_DIR}/tavobridge.def)
  # The .def names are the undecorated stdcall names.
  target_link_options(tavobridge PRIVATE -Wl,--enable-stdcall-fixup)
endif()

zeph_test(tavobridge_flat_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/flat_convert_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/flat_api_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/tests/flat_fakes.cpp
  LIBS tavobridge_flat)

# The main job's client: calls the exports as a Visual Basic program does, through LoadLibrary.
zeph_product_program(tavodemo
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/client/main.cpp ${CMAKE_CURRENT_LIST_DIR}/client/tavodemo.cpp)
target_include_directories(tavodemo PRIVATE ${CMAKE_CURRENT_LIST_DIR}/include)

# The serial transport's unload, as a client that loads it by hand sees it (the Wine check
# scripts/wine-lintra-unload.sh runs the i686 build).
if(TARGET tavobridge_ports AND TARGET lintra8)
  zeph_product_program(lintra_unload
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/client/lintra_unload.cpp
    LIBS tavobridge_ports karnet_model)
endif()

# The built library end to end over a COM port to the simulated instrument, once the serial
# transport library is in the tree.
if(ZEPH_LINUX AND ZEPH_TESTS AND TARGET lintra8 AND TARGET morvex_client AND TARGET tavobridge_ports)
  # Each set-up waits for the serial transport's bring-up (its retry period is 1 s) and each close
  # for its stop: the case that opens and closes the same port ten times needs more than a minute
  # on a loaded machine.
  zeph_test(tavobridge_link_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/flat_link_test.cpp
    LIBS winapi simdev standin
    LABELS threading
    TIMEOUT 240)
  target_include_directories(tavobridge_link_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/include)
  # The libraries it loads at run time.
  add_dependencies(tavobridge_link_tests tavobridge morvex karnet8 ostrel8 lintra8)
  # Over USB too once the driver and the USB transport are built (see tavobridge_late below).
endif()

# The same over a dialled modem call, once the modem port objects are in the tree.
if(TARGET tavobridge_link_tests AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/include/tavobridge/TapiComPort.h)
  zeph_test(tavobridge_modem_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/flat_modem_test.cpp
    LIBS winapi simdev standin
    LABELS threading)
  target_include_directories(tavobridge_modem_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/include)
  add_dependencies(tavobridge_modem_tests tavobridge morvex karnet8 ostrel8 lintra8)
endif()

# What needs the driver's folder, which comes after this one: run at the end of the top folder.
# The main job over a COM port (the flat API's client through tavobridge, morvex and lintra8 to the
# instrument program on a pseudo-terminal) and over USB (the driver on the kernel stand-in with a
# plugged instrument), and the end-to-end cases over USB.
function(tavobridge_late)
  if(NOT ZEPH_LINUX OR NOT ZEPH_TESTS OR NOT TARGET tavodemo)
    return()
  endif()
  set(here ${CMAKE_SOURCE_DIR}/tavobridge)
  if(TARGET zephinstr AND TARGET lintra8 AND TARGET morvex)
    add_test(NAME Demo.FlatApiSerial
      COMMAND bash ${CMAKE_SOURCE_DIR}/tests/demo/run-tavodemo.sh $<TARGET_FILE:zephinstr> $<TARGET_FILE:tavodemo> 100)
    set_tests_properties(Demo.FlatApiSerial PROPERTIES LABELS "unit" TIMEOUT 300
      PASS_REGULAR_EXPRESSION "none lost or corrupt")
  endif()
  if(TARGET vantrel AND TARGET quillon8 AND TARGET morvex)
    add_executable(tavodemo_usb ${CMAKE_SOURCE_DIR}/tests/demo/tavodemo_usb.cpp ${here}/client/tavodemo.cpp)
    target_include_directories(tavodemo_usb PRIVATE ${here}/client ${here}/include)
    target_link_libraries(tavodemo_usb PRIVATE winapi simdev standin)
    target_compile_definitions(tavodemo_usb PRIVATE VANTREL_PATH="$<TARGET_FILE:vantrel>")
    add_dependencies(tavodemo_usb tavobridge morvex karnet8 ostrel8 quillon8 lintra8 vantrel)
    add_test(NAME Demo.FlatApiUsb COMMAND tavodemo_usb --blocks 100 --timeout 4000)
    set_tests_properties(Demo.FlatApiUsb PROPERTIES LABELS "threading" TIMEOUT 300
      PASS_REGULAR_EXPRESSION "none lost or corrupt")
    if(TARGET tavobridge_link_tests)
      target_compile_definitions(tavobridge_link_tests PRIVATE TAVO_TEST_USB=1 VANTREL_PATH="$<TARGET_FILE:vantrel>")
      add_dependencies(tavobridge_link_tests quillon8 vantrel)
    endif()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tavobridge_late)
