#ifndef TESTS_SUPPORT_RUN_PROGRAM_H
#define TESTS_SUPPORT_RUN_PROGRAM_H

#include <string>
#include <vector>

// Result of running a program to its end.
struct ProgramResult {
  int exitCode = -1;      // exit status, or 128 + the signal that ended it
  bool timedOut = false;  // killed after the time limit
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
};

// Runs program with arguments (not including argv[0]) in directory (empty:
// the current one), captures both output streams, and kills it after
// timeoutSeconds.
ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         double timeoutSeconds = 60.0, const std::string& directory = "");

// As RunProgram, and sends signalNumber to the program once signalAfterSeconds
// have passed (count times, 50 ms apart).
ProgramResult RunProgramAndSignal(const std::string& program,
                                  const std::vector<std::string>& arguments,
                                  double signalAfterSeconds, int signalNumber, int count = 1,
                                  double timeoutSeconds = 60.0, const std::string& directory = "");

// The simulator executable under test.
ProgramResult RunSimulator(const std::vector<std::string>& arguments, double timeoutSeconds = 60.0,
                           const std::string& directory = "");

#endif
