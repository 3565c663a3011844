# Platform core figures: work-queue latency and throughput, reference
# counting, locks, events, clocks, thread wake-ups and timer jitter.
add_executable(PlatformBench ${CMAKE_CURRENT_LIST_DIR}/PlatformBench.cpp)
target_link_libraries(PlatformBench PRIVATE corvane_platform)
