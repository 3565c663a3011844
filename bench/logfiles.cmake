# Log file store, rate-limited lines, queued-call dispatch and fast-log
# record figures (see bench/LogFilesBench.cpp).
add_executable(LogFilesBench ${CMAKE_CURRENT_LIST_DIR}/LogFilesBench.cpp)
target_link_libraries(LogFilesBench PRIVATE corvane_execqueue corvane_serialization corvane_platform)
