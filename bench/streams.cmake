# Stream and UUID figures (see bench/StreamsBench.cpp).
add_executable(StreamsBench ${CMAKE_CURRENT_LIST_DIR}/StreamsBench.cpp)
target_link_libraries(StreamsBench PRIVATE corvane_serialization corvane_platform)
