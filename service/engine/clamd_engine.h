// clamd as a detection engine of the service: its address, time limit and
// text mode, and the back-off that keeps a failing clamd from slowing every
// scan.
//
// Back-off: when a scan fails (refused, timed out, an error reply, closed
// early), clamd is left alone for BackoffFirstMs (5 s by default); scans in
// that period are Skipped with "skipped (back-off)" and touch no socket.
// After the period one scan at a time is let through as a trial; the others
// stay skipped until it ends. A trial that fails doubles the period, up to
// BackoffMaxMs (60 s); any scan that gets a verdict ends the back-off and
// the doubling. Failures of scans that were already under way when the
// back-off began do not lengthen it.
//
// Thread-safe: any number of connections may call Begin and Finish at once,
// each with its own ClamdScan. The engine outlives its scans.
//
// Per connection, on whichever thread handles it at the moment:
//
//   ClamdScan scan;                        // or one kept with the connection
//   engine.Begin(&scan, contentBytes);     // once the request header is in
//   scan.Feed(piece, count);               // for each piece as it arrives
//   ClamdResult result = engine.Finish(&scan);  // after the last piece
//
// Begin connects (a loopback connect takes about a millisecond); Feed blocks
// only while clamd's socket takes no more bytes, and never past the
// deadline; Finish waits for clamd's reply, at most until the deadline. A
// connection dropped midway may simply destroy its scan.
#pragma once

#include "service/engine/clamd_address.h"
#include "service/engine/clamd_client.h"
#include "service/engine/text_form.h"

#include <windows.h>

struct ClamdSettings {
  ClamdAddress address;
  // clamd's whole answer comes within this time from Begin, or the scan
  // fails. The provider gives up 1500 ms after it opened the pipe; the rest
  // is left for the exchange with it.
  DWORD timeoutMs = 1000;
  ClamdTextMode textMode = ClamdTextMode::Utf8;
  DWORD backoffFirstMs = 5000;
  DWORD backoffMaxMs = 60000;
};

class ClamdEngine {
 public:
  explicit ClamdEngine(const ClamdSettings& settings);
  ClamdEngine(const ClamdEngine&) = delete;
  ClamdEngine& operator=(const ClamdEngine&) = delete;

  const ClamdSettings& settings() const { return settings_; }

  // Starts `scan` for a content of `totalBytes` bytes, with the deadline
  // timeoutMs from now; or marks it Skipped during a back-off period. Either
  // way the caller goes on with Feed and Finish on the scan.
  void Begin(ClamdScan* scan, size_t totalBytes);
  // Finishes `scan` (as ClamdScan::Finish) and lets its outcome steer the
  // back-off.
  ClamdResult Finish(ClamdScan* scan);

  // How long clamd is still left alone, in milliseconds (0: not at all).
  ULONGLONG BackoffRemainingMs() const;

 private:
  friend class ClamdScan;
  void EndProbe();
  void Record(bool failed, bool probe, ULONGLONG now);

  const ClamdSettings settings_;
  mutable SRWLOCK lock_ = SRWLOCK_INIT;
  unsigned failures_ = 0;       // failed trials in a row since the last verdict; under lock_
  ULONGLONG backoffUntil_ = 0;  // GetTickCount64 value; under lock_
  bool probing_ = false;        // a trial scan is under way; under lock_
};
