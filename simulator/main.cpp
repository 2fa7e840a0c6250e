#include <iostream>

#include "simulator/SimulatorClass.h"

int main(int argc, char** argv) {
  SimulatorClass* simulator = new SimulatorClass(argc, argv);
  std::cout << "SIMULATOR::Preparing to run()" << std::endl;
  simulator->Run();
  std::cout << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
  std::cout.flush();
  std::cerr << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
  std::cerr.flush();
  delete simulator;
  return 0;
}
