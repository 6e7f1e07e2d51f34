// Owning wrappers for the handles of the detection engine: sockets, BCrypt
// algorithm providers and hashes, an SRW lock held for a block, and the
// Winsock session itself.
#pragma once

#include "platform/unique_handle.h"

#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>

struct SocketTraits {
  using Type = SOCKET;
  static Type Invalid() noexcept { return INVALID_SOCKET; }
  static void Close(Type socket) noexcept { closesocket(socket); }
};

struct BcryptAlgorithmTraits {
  using Type = BCRYPT_ALG_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type algorithm) noexcept { BCryptCloseAlgorithmProvider(algorithm, 0); }
};

struct BcryptHashTraits {
  using Type = BCRYPT_HASH_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type hash) noexcept { BCryptDestroyHash(hash); }
};

using UniqueSocket = UniqueResource<SocketTraits>;
using UniqueBcryptAlgorithm = UniqueResource<BcryptAlgorithmTraits>;
using UniqueBcryptHash = UniqueResource<BcryptHashTraits>;

// An SRW lock held exclusively for the length of a block.
class ExclusiveLock {
 public:
  explicit ExclusiveLock(SRWLOCK* lock) : lock_(lock) { AcquireSRWLockExclusive(lock_); }
  ~ExclusiveLock() { ReleaseSRWLockExclusive(lock_); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  SRWLOCK* lock_;
};

// One WSAStartup, undone when the object goes. Winsock counts the starts, so
// every user of sockets may hold one of its own.
class WinsockSession {
 public:
  WinsockSession() noexcept {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

  bool started() const noexcept { return started_; }

 private:
  bool started_ = false;
};
