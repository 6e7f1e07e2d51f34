#include "testkit/stand_in_clamd.h"

#include <ws2tcpip.h>

#include <chrono>
#include <cstring>

namespace {

// The stand-in polls its sockets this often, so that it notices the end of
// the test without blocking calls that only closing could interrupt.
constexpr long PollMicroseconds = 20 * 1000;

bool Readable(SOCKET socket) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval timeout{0, PollMicroseconds};
  return select(0, &set, nullptr, nullptr, &timeout) > 0;
}

}  // namespace

StandInClamd::StandInClamd() { WSAStartup(MAKEWORD(2, 2), &winsock_); }

StandInClamd::~StandInClamd() {
  stopping_ = true;
  if (listenThread_.joinable()) listenThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> hold(lock_);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection.join();
  if (listener_ != INVALID_SOCKET) closesocket(listener_);
  WSACleanup();
}

bool StandInClamd::Start() {
  listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener_ == INVALID_SOCKET) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
  if (listen(listener_, 16) != 0) return false;
  int length = sizeof address;
  if (getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  port_ = ntohs(address.sin_port);
  listenThread_ = std::thread([this] { Listen(); });
  return true;
}

void StandInClamd::Set(Behaviour behaviour, const std::string& reply) {
  std::lock_guard<std::mutex> hold(lock_);
  behaviour_ = behaviour;
  reply_ = reply;
}

ClamdAddress StandInClamd::address() const {
  ClamdAddress address;
  std::string error;
  ParseClamdAddress("127.0.0.1:" + std::to_string(port_), false, &address, &error);
  return address;
}

StandInClamd::Stream StandInClamd::LastStream() {
  const int wanted = accepted_.load();
  // The client may be done before the stand-in has read everything.
  for (int i = 0; i < 250; ++i) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (served_ >= wanted) return last_;
    }
    Sleep(20);
  }
  std::lock_guard<std::mutex> hold(lock_);
  return last_;
}

void StandInClamd::Listen() {
  while (!stopping_) {
    if (!Readable(listener_)) continue;
    const SOCKET connection = accept(listener_, nullptr, nullptr);
    if (connection == INVALID_SOCKET) continue;
    ++accepted_;
    std::lock_guard<std::mutex> hold(lock_);
    connections_.emplace_back(
        [this, connection, behaviour = behaviour_, reply = reply_] {
          Serve(connection, behaviour, reply);
        });
  }
}

bool StandInClamd::ReadExactly(SOCKET connection, char* out, size_t count) {
  while (count > 0) {
    if (stopping_) return false;
    if (!Readable(connection)) continue;
    const int received = recv(connection, out, static_cast<int>(count), 0);
    if (received <= 0) return false;
    out += received;
    count -= static_cast<size_t>(received);
  }
  return true;
}

void StandInClamd::Serve(SOCKET connection, Behaviour behaviour, std::string reply) {
  Stream stream;
  bool readCommand = behaviour != Behaviour::CloseAtOnce && behaviour != Behaviour::StallUnread;
  if (readCommand) {
    char c = 0;
    while (ReadExactly(connection, &c, 1) && c != '\0') stream.command.push_back(c);
    const bool early = behaviour == Behaviour::ReplyEarly || behaviour == Behaviour::CloseEarly;
    const size_t maxChunks = early ? 1 : static_cast<size_t>(-1);
    while (stream.chunks.size() < maxChunks) {
      unsigned char header[4];
      if (!ReadExactly(connection, reinterpret_cast<char*>(header), 4)) break;
      const size_t length = (static_cast<size_t>(header[0]) << 24) | (header[1] << 16) |
                            (header[2] << 8) | header[3];
      stream.chunks.push_back(length);
      if (length == 0) {
        stream.ended = true;
        break;
      }
      const size_t at = stream.data.size();
      stream.data.resize(at + length);
      if (!ReadExactly(connection, reinterpret_cast<char*>(stream.data.data() + at), length)) {
        break;
      }
    }
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    last_ = stream;
    ++served_;
  }
  if (behaviour == Behaviour::Reply || behaviour == Behaviour::ReplyEarly) {
    send(connection, reply.c_str(), static_cast<int>(reply.size() + 1), 0);
  } else if (behaviour == Behaviour::Stall || behaviour == Behaviour::StallUnread) {
    // Holds the connection open, unanswered, until the test ends; a Stall
    // keeps reading so that the client is never held up by full buffers.
    char sink[4096];
    while (!stopping_) {
      if (behaviour == Behaviour::Stall && Readable(connection)) {
        if (recv(connection, sink, sizeof sink, 0) <= 0) break;
      } else if (behaviour == Behaviour::StallUnread) {
        Sleep(20);
      }
    }
  }
  // Lets the reply go out before the close (a close with unread input
  // would reset the connection and could drop it).
  shutdown(connection, SD_SEND);
  closesocket(connection);
}

unsigned short ClosedLoopbackPort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  WSACleanup();
  return ntohs(address.sin_port);
}
