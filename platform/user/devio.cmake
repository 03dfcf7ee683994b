# Device and file I/O, SetupAPI, windows and messages (the user-mode half of the kernel stand-in).
target_sources(winplat PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/devio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setupapi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ui.cpp
)
