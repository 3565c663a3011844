# Protocol-2 messages and registry.
tds_add_test(NAME Protocol2MessagesTest SOURCES Tests/Protocol2MessagesTest.cpp LIBS corvane_discovery)
tds_add_test(NAME DiscoveryServicePersistentTest SOURCES Tests/DiscoveryServicePersistentTest.cpp
             LIBS corvane_discovery THREADED LOCK_PORTS TIMEOUT 300)
tds_add_test(NAME DiscoveryServiceChurnTest SOURCES Tests/DiscoveryServiceChurnTest.cpp
             LIBS corvane_discovery THREADED TIMEOUT 300)
