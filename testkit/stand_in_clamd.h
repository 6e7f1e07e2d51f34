// A stand-in clamd for the cases the real one cannot be made to show on
// demand: a listener on a loopback port in the test process that answers
// each connection as told, counts the connections it accepted and records
// the stream it received (the chunk sizes and the content they carried).
#pragma once

#include "service/engine/clamd_address.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class StandInClamd {
 public:
  enum class Behaviour {
    Reply,        // reads the whole stream, then sends `reply` and '\0'
    ReplyEarly,   // reads the command and one chunk, sends `reply`, closes
    CloseEarly,   // reads the command and one chunk, closes without a reply
    CloseAtOnce,  // accepts and closes without reading
    Stall,        // reads everything and never answers
    StallUnread,  // accepts and never reads
  };

  StandInClamd();
  ~StandInClamd();  // stops the listener and ends every connection

  // Starts listening on 127.0.0.1 and a free port; false if it cannot.
  bool Start();
  void Set(Behaviour behaviour, const std::string& reply = std::string());

  // The address to give the client ("127.0.0.1:PORT").
  ClamdAddress address() const;
  int accepted() const { return accepted_.load(); }

  struct Stream {
    std::string command;              // up to its '\0'
    std::vector<size_t> chunks;       // the lengths, in order, the end's 0 included
    std::vector<unsigned char> data;  // the chunks' bytes joined
    bool ended = false;               // the zero-length chunk came
  };
  // The stream of the latest connection that has been read to its end (or
  // as far as the behaviour reads); waits up to 5 s for it to be complete.
  Stream LastStream();

 private:
  void Listen();
  void Serve(SOCKET connection, Behaviour behaviour, std::string reply);
  bool ReadExactly(SOCKET connection, char* out, size_t count);

  WSADATA winsock_;
  SOCKET listener_ = INVALID_SOCKET;
  unsigned short port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> accepted_{0};
  std::thread listenThread_;
  std::mutex lock_;
  Behaviour behaviour_ = Behaviour::Reply;  // under lock_
  std::string reply_ = "stream: OK";        // under lock_
  std::vector<std::thread> connections_;    // under lock_
  Stream last_;                             // under lock_
  int served_ = 0;                          // connections whose reading ended; under lock_
};

// A loopback port on which nothing listens: bound once and released.
unsigned short ClosedLoopbackPort();
