#include <iostream>

#include "simulator/SimulatorClass.h"

int main(int argc, char** argv) {
  SimulatorClass* simulator = new SimulatorClass(argc, argv);
  std::cout << "SIMULATOR::Preparing to run()" << std::endl;
  simulator->Run();
  const int exitStatus = simulator->exitStatus;
  // Only a run that delivered everything it simulated is a good exit.
  if (exitStatus == 0) {
    std::cout << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
    std::cout.flush();
    std::cerr << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
    std::cerr.flush();
  }
  delete simulator;
  return exitStatus;
}
