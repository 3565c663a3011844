# The protocol-2 parser of one connection under random deliveries.
if(TARGET corvane_discovery)
  tds_add_fuzzer(fuzz_protocol2_parser SOURCES FuzzProtocol2Parser.cpp LIBS corvane_discovery)
endif()
