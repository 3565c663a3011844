# Readers of untrusted bytes: both stream kinds' typed reads, the display
# record and the UUID text parser.
tds_add_fuzzer(fuzz_datastream SOURCES FuzzDataStream.cpp LIBS corvane_serialization)
tds_add_fuzzer(fuzz_datastream_v1 SOURCES FuzzDataStreamV1.cpp LIBS corvane_serialization)
tds_add_fuzzer(fuzz_uuid_parse SOURCES FuzzUuidParse.cpp LIBS corvane_serialization)
if(TARGET corvane_discovery)
  tds_add_fuzzer(fuzz_display_info SOURCES FuzzDisplayInfo.cpp LIBS corvane_discovery corvane_serialization)
endif()
