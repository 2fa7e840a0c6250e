#include <csignal>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "platform/ProcessServices.h"
#include "simulator/SimulatorClass.h"

namespace {

int RunSimulator(int argc, char** argv) {
  // A closed standard stream would be the number of the first file opened,
  // and the run's messages would go into its results.
  KorvanOpenStandardStreams();
  // A file-size limit (ulimit -f) reached by a result or trace file fails
  // the write with EFBIG, which is reported like a full disk (a trace then
  // ends and the run goes on), instead of ending the process unannounced.
  std::signal(SIGXFSZ, SIG_IGN);
  SimulatorClass* simulator = new SimulatorClass(argc, argv);
  std::cout << "SIMULATOR::Preparing to run()" << std::endl;
  simulator->Run();
  const int exitStatus = simulator->exitStatus;
  // Only a run that delivered everything it simulated is a good exit.
  if (exitStatus == 0) {
    // From here a second signal (the good-exit line held by a reader that
    // has stopped reading, or landing during the clean-up) ends the
    // process with the status this line claims.
    SimulatorGoodExitClaimed = 1;
    std::cout << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
    std::cout.flush();
    std::cerr << "SIMULATOR::MAIN()-GOOD EXIT" << std::endl;
    std::cerr.flush();
  }
  delete simulator;
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
  // Much of the model is built with allocations that throw when memory runs
  // out (a ulimit -v, say). Uncaught, that would abort the run with a core
  // dump and no word of what failed; it ends as any other allocation that
  // fails: with its message and status 1 (an earlier run's result files as
  // they were, unless the run had started and emptied them).
  try {
    return RunSimulator(argc, argv);
  } catch (const std::bad_alloc&) {
    MemoryAllocationError();
  }
}
