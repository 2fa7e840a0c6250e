# Results output and the simulation-manager link.
korvan_add_test(simulator_output_tests
  SOURCES DataPacketTest.cpp PacketQueueTest.cpp SimulatorOutputTest.cpp SimMgrLinkTest.cpp
  LIBS korvan_simulator korvan_simmgr_client)
