#ifndef SIM_MGR_SESSION_H
#define SIM_MGR_SESSION_H

#include <string>
#include <vector>

#include "tools/SimMgrConnection.h"
#include "tools/SimulatorProcess.h"

// Starting a simulator and linking up with it: runs the program, learns its
// port from the announcement, connects over loopback and checks that the
// greeting names the child's process id. Owns the process and the
// connection.
class SimMgrSession {
 public:
  SimMgrSession() = default;

  SimMgrSession(const SimMgrSession&) = delete;
  SimMgrSession& operator=(const SimMgrSession&) = delete;

  // All steps share one deadline of `timeoutMs`. On failure Error() says
  // which step failed; the child, if started, is left running for the
  // caller to inspect, wait for or kill.
  bool Open(const std::string& path, const std::vector<std::string>& arguments, int timeoutMs);

  SimulatorProcess& Process() { return process; }
  SimMgrConnection& Connection() { return connection; }
  int Port() const { return port; }
  const std::string& Error() const { return error; }

 private:
  // Declared first so it is destroyed last: the connection closes before the
  // child is killed.
  SimulatorProcess process;
  SimMgrConnection connection;
  int port = -1;
  std::string error;
};

#endif
