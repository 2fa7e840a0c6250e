// Set-up, run and tear-down of the simulator.

#include "simulator/SimulatorClass.h"

#include <cstdlib>
#include <iostream>

int GlobalDebugLevel = 0;

SimulatorClass::SimulatorClass() {
  std::cerr << "ERROR: A simulator needs a command line" << std::endl;
  std::exit(1);
}

SimulatorClass::SimulatorClass(int argc, char** argv) {
  groupList = new List<BaseGroupClass>();
  actionList = new List<BaseActionClass>();
  if (ParseCommandLineOptions(argc, argv) != 0) {
    PrintUsage();
    std::cerr << "ERROR: Parsing command line options" << std::endl;
    std::exit(1);
  }
}

void SimulatorClass::Run() {}

SimulatorClass::~SimulatorClass() {
  delete groupList;
  delete actionList;
  delete[] overrideString;
  delete[] traceFileName;
  delete[] asciiFileName;
  delete[] binFileName;
}
