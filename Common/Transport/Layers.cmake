# The adapter's layers: resend, fragment and flow control, with the records
# they put in front of a message. Included from the top level until it joins
# corvane_transport.
set(_layers_dir ${CMAKE_CURRENT_LIST_DIR})
add_library(corvane_transport_layers STATIC
  ${_layers_dir}/Src/TransportLayer.cpp ${_layers_dir}/Src/ResendLayer.cpp ${_layers_dir}/Src/FragmentLayer.cpp
  ${_layers_dir}/Src/FlowControl.cpp ${_layers_dir}/Src/FlowControlLayer.cpp)
target_include_directories(corvane_transport_layers PUBLIC ${_layers_dir}/Inc ${_layers_dir}/Src)
target_link_libraries(corvane_transport_layers PUBLIC corvane_platform corvane_serialization corvane_logger)

if(TDS_BUILD_TESTS)
  tds_add_test(NAME TransportLayersTest SOURCES ${_layers_dir}/Tests/TransportLayersTest.cpp
               LIBS corvane_transport_layers corvane_testsupport THREADED)
endif()
