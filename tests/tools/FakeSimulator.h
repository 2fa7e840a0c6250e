#ifndef FAKE_SIMULATOR_H
#define FAKE_SIMULATOR_H

// A stand-in for the simulator's side of the protocol, for the manager-side
// tests: listens on a free loopback port, accepts one connection on a thread
// of its own and runs a scripted conversation there. It prints nothing.

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "platform/KorvanSocket.h"

using Bytes = std::vector<unsigned char>;

inline void PutU16(Bytes& out, unsigned value) {
  out.push_back(static_cast<unsigned char>(value >> 8));
  out.push_back(static_cast<unsigned char>(value));
}

inline void PutU32(Bytes& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

inline void PutDouble(Bytes& out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(bits >> shift));
}

// Greeting and replies: length 10, marker, command, process id.
inline Bytes Reply(unsigned marker, unsigned command, uint32_t pid) {
  Bytes out;
  PutU32(out, 10);
  out.push_back(static_cast<unsigned char>(marker));
  out.push_back(static_cast<unsigned char>(command));
  PutU32(out, pid);
  return out;
}

class FakeSimulator {
 public:
  using Script = std::function<void(KorvanSocket& connection)>;

  explicit FakeSimulator(Script script) : listener(true), connection(false) {
    listener.Bind(0);
    listener.Listen(5);
    sockaddr_in address;
    socklen_t length = sizeof(address);
    getsockname(listener.sock, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    thread = std::thread([this, script] {
      // Bounded: a client that never comes ends the fake after 10 s.
      if (!listener.Select(10000) || !listener.Accept(connection)) return;
      timeval limit = {10, 0};
      setsockopt(connection.sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
      script(connection);
    });
  }

  ~FakeSimulator() { Finish(); }

  // Waits for the script to end.
  void Finish() {
    if (thread.joinable()) thread.join();
  }

  static void Send(KorvanSocket& connection, const Bytes& bytes) {
    connection.Send(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()));
  }

  // Reads one command byte; -1 when the connection ended.
  static int ReadCommand(KorvanSocket& connection) {
    char byte;
    return connection.RecvBlock(&byte, 1) == 1 ? static_cast<unsigned char>(byte) : -1;
  }

  int port = 0;

 private:
  KorvanSocket listener;
  KorvanSocket connection;
  std::thread thread;
};

#endif
