// One scan by clamd: a zINSTREAM exchange over TCP, fed with the content in
// the pieces in which it arrives, under one absolute deadline.
//
//   Begin   connects and sends "zINSTREAM\0"
//   Feed    transcodes a piece (see text_form.h) and sends it at once, as
//           chunks of a 4-byte big-endian length and at most ClamdChunkBytes
//   Finish  sends the zero-length end, reads the reply up to its '\0' and
//           parses it: "stream: OK", "stream: NAME FOUND", "... ERROR"
//
// Every connect, send and receive waits at most until the deadline (a
// GetTickCount64 value), so a scan costs at most the time it was given. A
// scan that has failed stays failed: later Feeds return at once, and Finish
// reports the first failure. Content is never held beyond one piece (and the
// text rule's sample, at most TextSampleBytes).
//
// One thread at a time per ClamdScan; any number of scans may run at once.
#pragma once

#include "service/engine/clamd_address.h"
#include "service/engine/engine_handles.h"
#include "service/engine/text_form.h"

#include <windows.h>

#include <string>
#include <vector>

enum class ClamdOutcome {
  Clean,    // "stream: OK"
  Found,    // "stream: NAME FOUND"; text is NAME
  Failed,   // no verdict; text says why
  Skipped,  // clamd was not asked (its back-off period); text says why
};

struct ClamdResult {
  ClamdOutcome outcome = ClamdOutcome::Failed;
  std::string text;  // the signature name, or the reason for no verdict
};

// The most content bytes in one chunk of the stream; larger pieces are split.
constexpr size_t ClamdChunkBytes = 64 * 1024;
// A longer reply is not one clamd gives; the scan fails.
constexpr size_t MaxClamdReplyBytes = 4096;

// Parses a reply (without its '\0'): Clean, Found with the signature name,
// or Failed with the reply as the reason.
ClamdResult ParseClamdReply(const std::string& reply);

class ClamdEngine;

class ClamdScan {
 public:
  ClamdScan() = default;
  ~ClamdScan();
  ClamdScan(const ClamdScan&) = delete;
  ClamdScan& operator=(const ClamdScan&) = delete;

  // Starts a scan of a content of `totalBytes` bytes (the length the
  // request announced; the text rule uses it). Connects before returning.
  void Begin(const ClamdAddress& address, ULONGLONG deadline, ClamdTextMode mode,
             size_t totalBytes);
  // Sends one piece of the content.
  void Feed(const BYTE* bytes, size_t count);
  // Ends the stream and waits for clamd's verdict. Once per Begin.
  ClamdResult Finish();

  // Failed or skipped: Feed does nothing, Finish reports why.
  bool failed() const {
    return done_ && (result_.outcome == ClamdOutcome::Failed ||
                     result_.outcome == ClamdOutcome::Skipped);
  }

 private:
  friend class ClamdEngine;

  void Reset();
  void Fail(const std::string& reason);
  void SendChunks(const BYTE* bytes, size_t count);
  void SendAll(const BYTE* bytes, size_t count);
  // Reads until the reply's '\0' (or the deadline); true once it is there.
  bool ReadReply();
  void TakeEarlyReply();
  void FailAfterSendError(int error);

  UniqueSocket socket_;
  ULONGLONG deadline_ = 0;
  ContentTranscoder transcoder_;
  std::vector<BYTE> transcoded_;
  std::vector<BYTE> frame_;
  std::string reply_;
  bool replyComplete_ = false;
  bool done_ = false;  // result_ holds the outcome: failed, skipped or replied
  ClamdResult result_;
  // Set when the engine let this scan try clamd after a back-off period:
  // the engine hears of its end, also when Finish is never called.
  ClamdEngine* probeOf_ = nullptr;
};
