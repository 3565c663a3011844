# The transport's frame reader over peer bytes arriving in random chunks.
tds_add_fuzzer(fuzz_transport_frames SOURCES FuzzTransportFrames.cpp LIBS corvane_transport)
target_include_directories(fuzz_transport_frames PRIVATE ${CMAKE_SOURCE_DIR}/Common/Transport/Tests)
