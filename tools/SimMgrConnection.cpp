#include "tools/SimMgrConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/KorvanSocket.h"
#include "platform/KorvanThread.h"
#include "tools/ByteReader.h"
#include "tools/Deadline.h"

SimMgrConnection::SimMgrConnection() : socket(nullptr) {}

SimMgrConnection::~SimMgrConnection() { Close(); }

void SimMgrConnection::Close() {
  delete socket;
  socket = nullptr;
  kept.clear();
}

bool SimMgrConnection::IsConnected() const { return socket != nullptr; }

bool SimMgrConnection::Connect(const char* host, int port, int timeoutMs) {
  Close();
  const Deadline deadline(timeoutMs);
  int pauseMs = 10;
  for (;;) {
    // A socket whose connect failed cannot be connected again: every try
    // starts with a fresh one.
    KorvanSocket* attempt = new KorvanSocket(true);
    if (attempt->sock != -1 && attempt->Connect(host, port)) {
      socket = attempt;
      return true;
    }
    delete attempt;
    if (deadline.Expired()) break;
    KorvanThread::Sleep(std::min(pauseMs, deadline.RemainingMs()));
    pauseMs = std::min(pauseMs * 2, 500);
  }
  error = "no connection to " + std::string(host) + " port " + std::to_string(port);
  return false;
}

bool SimMgrConnection::ReadExact(unsigned char* buffer, size_t n, const Deadline& deadline) {
  size_t received = 0;
  while (received < n) {
    if (!socket->Select(deadline.RemainingMs())) {
      error = socket->GetErrorString() != nullptr
                  ? std::string("connection failed: ") + socket->GetErrorString()
                  : "no data from the simulator before the deadline";
      return false;
    }
    const int chunk = static_cast<int>(std::min<size_t>(n - received, 1 << 20));
    const int result = socket->Recv(reinterpret_cast<char*>(buffer + received), chunk);
    if (result == 0) {
      error = "the simulator closed the connection";
      return false;
    }
    if (result < 0) {
      error = "receive failed: errno=" + std::to_string(errno);
      return false;
    }
    received += static_cast<size_t>(result);
  }
  return true;
}

bool SimMgrConnection::ReadNextFromSocket(SimMgrMessage& message, const Deadline& deadline) {
  if (socket == nullptr) {
    error = "not connected";
    return false;
  }
  unsigned char lengthBytes[4];
  if (!ReadExact(lengthBytes, sizeof(lengthBytes), deadline)) return false;
  uint32_t length = 0;
  ByteReader(lengthBytes, sizeof(lengthBytes)).ReadU32(length);
  size_t bodySize = 0;
  if (!SimMgrMessage::BodySize(length, kMaxRecordLength, bodySize, error)) return false;
  // Grown as the bytes arrive, so a corrupt length field that promises more
  // than is ever sent does not reserve that much memory up front.
  std::vector<unsigned char> body;
  const size_t step = 1 << 20;
  while (body.size() < bodySize) {
    const size_t done = body.size();
    body.resize(std::min(bodySize, done + step));
    if (!ReadExact(body.data() + done, body.size() - done, deadline)) {
      error += " (inside a message of length " + std::to_string(length) + ")";
      return false;
    }
  }
  return SimMgrMessage::Decode(length, body.data(), body.size(), message, error);
}

bool SimMgrConnection::ReadMessage(SimMgrMessage& message, int timeoutMs) {
  if (!kept.empty()) {
    message = std::move(kept.front());
    kept.pop_front();
    return true;
  }
  return ReadNextFromSocket(message, Deadline(timeoutMs));
}

bool SimMgrConnection::CheckReply(const SimMgrMessage& message, int marker, int command,
                                  unsigned long expectedPid, const char* what) {
  if (message.kind != SimMgrMessage::kReply || message.marker != marker ||
      message.command != command) {
    error = std::string(what) + " expected, got another message";
    return false;
  }
  if (message.pid != expectedPid) {
    error = std::string(what) + " names process " + std::to_string(message.pid) + ", expected " +
            std::to_string(expectedPid);
    return false;
  }
  return true;
}

bool SimMgrConnection::ReadGreeting(unsigned long expectedPid, int timeoutMs) {
  SimMgrMessage message;
  if (!ReadNextFromSocket(message, Deadline(timeoutMs))) {
    error = "greeting: " + error;
    return false;
  }
  return CheckReply(message, 0xFF, 1, expectedPid, "greeting");
}

bool SimMgrConnection::SendAll(const char* data, int n) {
  if (socket == nullptr) {
    error = "not connected";
    return false;
  }
  if (socket->Send(data, n) != n) {
    error = "send failed: errno=" + std::to_string(errno);
    return false;
  }
  return true;
}

bool SimMgrConnection::SendCommand(unsigned char command) {
  const char byte = static_cast<char>(command);
  return SendAll(&byte, 1);
}

bool SimMgrConnection::SendFileCommand(const std::string& text) {
  // One send for the command and its text, so the simulator finds the text
  // right behind the command byte.
  const std::string wire = std::string(1, '\x03') + text;
  return SendAll(wire.data(), static_cast<int>(wire.size()));
}

bool SimMgrConnection::ReadReply(unsigned char command, unsigned long expectedPid,
                                 int timeoutMs) {
  const Deadline deadline(timeoutMs);
  for (;;) {
    SimMgrMessage message;
    if (!ReadNextFromSocket(message, deadline)) {
      error = "reply to command " + std::to_string(command) + ": " + error;
      return false;
    }
    if (message.kind == SimMgrMessage::kReply) {
      return CheckReply(message, command == 2 ? 0xFE : 0xFF, command, expectedPid,
                        ("reply to command " + std::to_string(command)).c_str());
    }
    // Records written before the simulator served the command.
    kept.push_back(std::move(message));
  }
}

bool SimMgrConnection::WaitForClose(int timeoutMs) {
  if (socket == nullptr) return true;
  const Deadline deadline(timeoutMs);
  char discard[4096];
  for (;;) {
    if (!socket->Select(deadline.RemainingMs())) {
      error = "the simulator kept the connection open";
      return false;
    }
    const int result = socket->Recv(discard, sizeof(discard));
    if (result <= 0) {
      delete socket;
      socket = nullptr;
      return true;
    }
  }
}
