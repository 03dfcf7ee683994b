# Device and file I/O, SetupAPI and device installation, wide-character calls, windows and messages (the user-mode half of the kernel stand-in).
target_sources(winplat PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/devio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/devinst.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wideio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_resources.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui_steering.cpp
)

# The startup of a windowed program on Linux: main() hands the command-line tail to its WinMain, as
# the C runtime does on Windows.
add_library(winmain STATIC ${CMAKE_CURRENT_LIST_DIR}/winmain.cpp)
target_link_libraries(winmain PUBLIC winplat)
