#include "service/engine/clamd_engine.h"

namespace {

constexpr char SkippedReason[] = "skipped (back-off)";

}  // namespace

ClamdEngine::ClamdEngine(const ClamdSettings& settings) : settings_(settings) {}

void ClamdEngine::Begin(ClamdScan* scan, size_t totalBytes) {
  const ULONGLONG now = GetTickCount64();
  bool probe = false;
  bool skip = false;
  {
    ExclusiveLock hold(&lock_);
    if (failures_ > 0) {
      skip = now < backoffUntil_ || probing_;
      probe = !skip;
      if (probe) probing_ = true;
    }
  }
  // Outside the lock: resetting a scan that was a trial ends that trial.
  scan->Reset();
  if (skip) {
    scan->done_ = true;
    scan->result_.outcome = ClamdOutcome::Skipped;
    scan->result_.text = SkippedReason;
    return;
  }
  scan->Begin(settings_.address, now + settings_.timeoutMs, settings_.textMode, totalBytes);
  // Set after Begin, which would otherwise end the trial it starts.
  if (probe) scan->probeOf_ = this;
}

ClamdResult ClamdEngine::Finish(ClamdScan* scan) {
  const bool probe = scan->probeOf_ == this;
  // The trial's end is recorded below, together with its outcome.
  scan->probeOf_ = nullptr;
  const ClamdResult result = scan->Finish();
  if (result.outcome == ClamdOutcome::Skipped) return result;
  Record(result.outcome == ClamdOutcome::Failed, probe, GetTickCount64());
  return result;
}

ULONGLONG ClamdEngine::BackoffRemainingMs() const {
  const ULONGLONG now = GetTickCount64();
  AcquireSRWLockShared(&lock_);
  const ULONGLONG remaining = failures_ > 0 && backoffUntil_ > now ? backoffUntil_ - now : 0;
  ReleaseSRWLockShared(&lock_);
  return remaining;
}

void ClamdEngine::EndProbe() {
  ExclusiveLock hold(&lock_);
  probing_ = false;
}

void ClamdEngine::Record(bool failed, bool probe, ULONGLONG now) {
  ExclusiveLock hold(&lock_);
  if (probe) probing_ = false;
  if (!failed) {
    failures_ = 0;
    backoffUntil_ = 0;
    return;
  }
  // A scan that began before the back-off and fails within it adds nothing:
  // clamd's failure has been counted already.
  if (!probe && failures_ > 0) return;
  ++failures_;
  ULONGLONG period = settings_.backoffFirstMs;
  for (unsigned i = 1; i < failures_ && period < settings_.backoffMaxMs; ++i) period *= 2;
  if (period > settings_.backoffMaxMs) period = settings_.backoffMaxMs;
  backoffUntil_ = now + period;
}
