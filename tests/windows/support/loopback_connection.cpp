#include "loopback_connection.h"

#include <initializer_list>

LoopbackConnection::LoopbackConnection(uint16_t port) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    error_ = -1;
    return;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  client_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener_, 1) != 0 ||
      connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error_ = WSAGetLastError();
    return;
  }
  server_ = accept(listener_, nullptr, nullptr);
  if (server_ == INVALID_SOCKET) error_ = WSAGetLastError();
}

LoopbackConnection::~LoopbackConnection() {
  for (SOCKET s : {server_, client_, listener_}) {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  WSACleanup();
}
