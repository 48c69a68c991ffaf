#include "loopback_connection.h"

#include <initializer_list>

LoopbackConnection::LoopbackConnection(uint16_t port, int family) {
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    error_ = -1;
    return;
  }
  sockaddr_storage address{};
  int length = 0;
  if (family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    v6->sin6_addr = in6addr_loopback;
    length = sizeof(*v6);
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(*v4);
  }
  listener_ = socket(family, SOCK_STREAM, IPPROTO_TCP);
  client_ = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 1) != 0 ||
      connect(client_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
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
