# HTTP requests under random chunking, and the web API's application-data
# parsers and JSON.
tds_add_fuzzer(fuzz_http_request SOURCES FuzzHttpRequest.cpp LIBS corvane_httpserver)
tds_add_fuzzer(fuzz_app_data SOURCES FuzzAppData.cpp LIBS corvane_server)
