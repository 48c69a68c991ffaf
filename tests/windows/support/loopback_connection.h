// An established TCP connection over loopback to a given local port, for the
// length of one test: what a Remote Desktop client's connection looks like in
// the TCP table.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>

class LoopbackConnection {
 public:
  // On the loopback address of |family| (AF_INET or AF_INET6).
  explicit LoopbackConnection(uint16_t port, int family = AF_INET);
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;
  ~LoopbackConnection();
  // False (with the Winsock error) when the connection could not be made.
  bool ok() const { return error_ == 0; }
  int error() const { return error_; }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
  SOCKET server_ = INVALID_SOCKET;
  int error_ = 0;
};
