#include "service/engine/clamd_client.h"

#include "service/engine/clamd_engine.h"

#include <cstring>

namespace {

constexpr char InstreamCommand[] = "zINSTREAM";  // sent with its '\0'

enum class Ready { Yes, TimedOut, Error };

// Waits until `socket` can be written (or, for a connect, has finished) or
// read, or until `deadline`. A deadline already passed still polls once.
Ready WaitForSocket(SOCKET socket, bool forWrite, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  const ULONGLONG remaining = deadline > now ? deadline - now : 0;
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval timeout;
  timeout.tv_sec = static_cast<long>(remaining / 1000);
  timeout.tv_usec = static_cast<long>((remaining % 1000) * 1000);
  const int count = select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                           &failed, &timeout);
  if (count == SOCKET_ERROR) return Ready::Error;
  if (count == 0) return Ready::TimedOut;
  // A failed connect shows in the exception set; its error is the socket's.
  if (FD_ISSET(socket, &failed)) return Ready::Error;
  return Ready::Yes;
}

int SocketError(SOCKET socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return WSAGetLastError();
  }
  return error;
}

std::string WinsockReason(const char* doing, int error) {
  switch (error) {
    case WSAECONNREFUSED:
      return std::string("connection refused while ") + doing;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN:
      return std::string("clamd closed the connection early, while ") + doing;
    case WSAETIMEDOUT:
      return std::string("timed out ") + doing;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return std::string("clamd is unreachable, while ") + doing;
    default:
      return std::string("socket error ") + std::to_string(error) + " while " + doing;
  }
}

// Control characters and bytes beyond ASCII as '?', so that the reason can
// be logged as it is.
std::string Printable(const std::string& text) {
  std::string printable = text;
  for (char& c : printable) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  return printable;
}

bool EndsWith(const std::string& text, const char* suffix) {
  const size_t length = strlen(suffix);
  return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// Winsock, started once for the whole process and kept. Starting and
// cleaning it up per scan let the count fall to zero between two scans of
// one client, and the last WSACleanup closes every socket of the process:
// under Wine, where the count is not updated atomically, a scan starting on
// another thread at that moment had its socket closed under it (WSAENOTSOCK
// while connecting, or no reply), and the back-off then kept clamd out.
const WinsockSession& ProcessWinsock() {
  static const WinsockSession session;
  return session;
}

}  // namespace

ClamdResult ParseClamdReply(const std::string& reply) {
  std::string text = reply;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  ClamdResult result;
  static const char StreamPrefix[] = "stream: ";
  const size_t prefix = sizeof StreamPrefix - 1;
  if (EndsWith(text, " ERROR")) {
    result.outcome = ClamdOutcome::Failed;
    result.text = "clamd replied: " + Printable(text);
  } else if (text == "stream: OK") {
    result.outcome = ClamdOutcome::Clean;
  } else if (text.compare(0, prefix, StreamPrefix) == 0 && EndsWith(text, " FOUND") &&
             text.size() > prefix + 6) {
    result.outcome = ClamdOutcome::Found;
    result.text = Printable(text.substr(prefix, text.size() - prefix - 6));
  } else {
    result.outcome = ClamdOutcome::Failed;
    result.text = "unexpected reply from clamd: " + Printable(text);
  }
  return result;
}

ClamdScan::~ClamdScan() {
  Reset();
}

void ClamdScan::Reset() {
  if (probeOf_ != nullptr) {
    probeOf_->EndProbe();
    probeOf_ = nullptr;
  }
  socket_.reset();
  reply_.clear();
  replyComplete_ = false;
  done_ = false;
  result_ = ClamdResult();
}

void ClamdScan::Fail(const std::string& reason) {
  if (done_) return;
  done_ = true;
  result_.outcome = ClamdOutcome::Failed;
  result_.text = reason;
  socket_.reset();
}

void ClamdScan::Begin(const ClamdAddress& address, ULONGLONG deadline, ClamdTextMode mode,
                      size_t totalBytes) {
  Reset();
  deadline_ = deadline;
  transcoder_.Begin(mode, totalBytes);
  if (!ProcessWinsock().started()) {
    Fail("Winsock cannot start");
    return;
  }
  if (address.length == 0) {
    Fail("no clamd address");
    return;
  }
  const sockaddr* target = reinterpret_cast<const sockaddr*>(&address.address);
  socket_.reset(socket(target->sa_family, SOCK_STREAM, IPPROTO_TCP));
  if (!socket_) {
    Fail(WinsockReason("creating a socket", WSAGetLastError()));
    return;
  }
  u_long nonBlocking = 1;
  // The header spells FIONBIO as an unsigned value; ioctlsocket takes a long.
  if (ioctlsocket(socket_.get(), static_cast<long>(FIONBIO), &nonBlocking) != 0) {
    Fail(WinsockReason("making the socket non-blocking", WSAGetLastError()));
    return;
  }
  if (connect(socket_.get(), target, address.length) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      Fail(WinsockReason("connecting", error));
      return;
    }
    // The connection is under way: it finishes, fails, or the scan's time
    // runs out, whichever comes first.
    const Ready ready = WaitForSocket(socket_.get(), true, deadline_);
    if (ready == Ready::TimedOut) {
      Fail("timed out connecting");
      return;
    }
    const int connectError = SocketError(socket_.get());
    if (ready == Ready::Error || connectError != 0) {
      Fail(WinsockReason("connecting", connectError != 0 ? connectError : WSAGetLastError()));
      return;
    }
  }
  SendAll(reinterpret_cast<const BYTE*>(InstreamCommand), sizeof InstreamCommand);
}

void ClamdScan::Feed(const BYTE* bytes, size_t count) {
  if (done_ || count == 0) return;
  // Content that goes as it is is sent from the caller's piece, uncopied.
  if (transcoder_.form() == ContentTranscoder::Form::AsIs) {
    SendChunks(bytes, count);
    return;
  }
  transcoded_.clear();
  transcoder_.Feed(bytes, count, &transcoded_);
  SendChunks(transcoded_.data(), transcoded_.size());
}

ClamdResult ClamdScan::Finish() {
  if (!done_) {
    transcoded_.clear();
    transcoder_.Finish(&transcoded_);
    SendChunks(transcoded_.data(), transcoded_.size());
  }
  if (!done_) {
    static const BYTE End[4] = {0, 0, 0, 0};
    SendAll(End, sizeof End);
  }
  if (!done_ && ReadReply()) {
    result_ = ParseClamdReply(reply_);
    done_ = true;
  }
  socket_.reset();
  ClamdResult result = result_;
  if (probeOf_ != nullptr) {
    probeOf_->EndProbe();
    probeOf_ = nullptr;
  }
  return result;
}

void ClamdScan::SendChunks(const BYTE* bytes, size_t count) {
  while (count > 0 && !done_) {
    // clamd answers early only to end the stream (its size limit, an error):
    // then sending more is pointless, and its reply says why.
    TakeEarlyReply();
    if (done_) return;
    const size_t chunk = count < ClamdChunkBytes ? count : ClamdChunkBytes;
    frame_.resize(4 + chunk);
    frame_[0] = static_cast<BYTE>(chunk >> 24);
    frame_[1] = static_cast<BYTE>(chunk >> 16);
    frame_[2] = static_cast<BYTE>(chunk >> 8);
    frame_[3] = static_cast<BYTE>(chunk);
    memcpy(frame_.data() + 4, bytes, chunk);
    SendAll(frame_.data(), frame_.size());
    bytes += chunk;
    count -= chunk;
  }
}

void ClamdScan::SendAll(const BYTE* bytes, size_t count) {
  while (count > 0 && !done_) {
    const int part = count < 0x40000000 ? static_cast<int>(count) : 0x40000000;
    const int sent = send(socket_.get(), reinterpret_cast<const char*>(bytes), part, 0);
    if (sent > 0) {
      bytes += sent;
      count -= static_cast<size_t>(sent);
      continue;
    }
    const int error = WSAGetLastError();
    if (sent == SOCKET_ERROR && error != WSAEWOULDBLOCK) {
      FailAfterSendError(error);
      return;
    }
    // clamd has not taken the bytes before yet: wait until it has room, or
    // the scan's time runs out.
    const Ready ready = WaitForSocket(socket_.get(), true, deadline_);
    if (ready == Ready::TimedOut) {
      Fail("timed out sending the content");
    } else if (ready == Ready::Error) {
      FailAfterSendError(SocketError(socket_.get()));
    }
  }
}

void ClamdScan::FailAfterSendError(int error) {
  // clamd may have said why before it closed; its reply is the better reason.
  if (ReadReply()) {
    const ClamdResult early = ParseClamdReply(reply_);
    Fail(early.outcome == ClamdOutcome::Failed ? early.text
                                               : "unexpected reply from clamd before the end");
    return;
  }
  Fail(WinsockReason("sending the content", error));
}

void ClamdScan::TakeEarlyReply() {
  // Polls without waiting: during the stream, only an early reply makes the
  // socket readable.
  if (WaitForSocket(socket_.get(), false, 0) != Ready::Yes) return;
  if (ReadReply()) {
    const ClamdResult early = ParseClamdReply(reply_);
    Fail(early.outcome == ClamdOutcome::Failed ? early.text
                                               : "unexpected reply from clamd before the end");
  }
  // Otherwise ReadReply has failed the scan (closed, or no complete reply in
  // time).
}

bool ClamdScan::ReadReply() {
  char buffer[512];
  while (!replyComplete_) {
    const int received = recv(socket_.get(), buffer, sizeof buffer, 0);
    if (received > 0) {
      const char* end = static_cast<const char*>(memchr(buffer, '\0', static_cast<size_t>(received)));
      const size_t take = end != nullptr ? static_cast<size_t>(end - buffer)
                                         : static_cast<size_t>(received);
      reply_.append(buffer, take);
      if (reply_.size() > MaxClamdReplyBytes) {
        Fail("clamd's reply is longer than " + std::to_string(MaxClamdReplyBytes) + " bytes");
        return false;
      }
      if (end != nullptr) replyComplete_ = true;
      continue;
    }
    if (received == 0) {
      Fail(reply_.empty() ? "clamd closed the connection without a reply"
                          : "clamd closed the connection in the middle of its reply: " +
                                Printable(reply_));
      return false;
    }
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      Fail(reply_.empty() ? WinsockReason("waiting for the reply", error)
                          : "clamd closed the connection in the middle of its reply: " +
                                Printable(reply_));
      return false;
    }
    // clamd scans the stream after its end, then replies: wait for it until
    // the scan's time runs out.
    const Ready ready = WaitForSocket(socket_.get(), false, deadline_);
    if (ready == Ready::TimedOut) {
      Fail("timed out waiting for the reply");
      return false;
    }
    if (ready == Ready::Error) {
      Fail(WinsockReason("waiting for the reply", SocketError(socket_.get())));
      return false;
    }
  }
  return true;
}
