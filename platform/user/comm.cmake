# COM ports over real terminals.
target_sources(winplat PRIVATE ${CMAKE_CURRENT_LIST_DIR}/comm.cpp)
