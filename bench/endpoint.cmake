# Network endpoint figures: accept storm, fan-out latency, idle CPU and
# memory per connection (see bench/EndpointBench.cpp).
add_executable(EndpointBench ${CMAKE_CURRENT_LIST_DIR}/EndpointBench.cpp)
target_link_libraries(EndpointBench PRIVATE corvane_network corvane_platform)
