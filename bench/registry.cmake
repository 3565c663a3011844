# Protocol-2 registry figures: fan-out latency and throughput, initial list,
# purge pass (see bench/RegistryBench.cpp).
add_executable(RegistryBench ${CMAKE_CURRENT_LIST_DIR}/RegistryBench.cpp)
target_link_libraries(RegistryBench PRIVATE corvane_discovery corvane_platform)
