// An established TCP connection over loopback to a given local port, for the
// length of one test: what a Remote Desktop client's connection looks like in
// the TCP table.
#pragma once

#include <winsock2.h>

#include <cstdint>

class LoopbackConnection {
 public:
  explicit LoopbackConnection(uint16_t port);
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
