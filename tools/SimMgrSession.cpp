#include "tools/SimMgrSession.h"

#include "tools/Deadline.h"

bool SimMgrSession::Open(const std::string& path, const std::vector<std::string>& arguments,
                         int timeoutMs) {
  const Deadline deadline(timeoutMs);
  if (!process.Start(path, arguments)) {
    error = process.Error();
    return false;
  }
  port = process.WaitForPort(deadline.RemainingMs());
  if (port < 0) {
    error = process.Error();
    return false;
  }
  if (!connection.Connect("127.0.0.1", port, deadline.RemainingMs())) {
    error = connection.Error();
    return false;
  }
  if (!connection.ReadGreeting(static_cast<unsigned long>(process.Pid()), deadline.RemainingMs())) {
    error = connection.Error();
    return false;
  }
  return true;
}
