# Logger and string-helper figures (see bench/LoggerBench.cpp).
add_executable(LoggerBench ${CMAKE_CURRENT_LIST_DIR}/LoggerBench.cpp)
target_link_libraries(LoggerBench PRIVATE corvane_platform)
