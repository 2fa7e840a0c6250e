# Results output and the simulation-manager link.
target_sources(korvan_simulator PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/DataPacket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/PacketQueue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimulatorOutput.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SimMgrLink.cpp
)
target_link_libraries(korvan_simulator PUBLIC korvan_platform)
