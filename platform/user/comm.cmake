# COM ports over real terminals.
target_sources(winplat PRIVATE ${CMAKE_CURRENT_LIST_DIR}/comm.cpp ${CMAKE_CURRENT_LIST_DIR}/comm_dcb.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tapi.cpp)
target_include_directories(winplat PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../devices/include)
