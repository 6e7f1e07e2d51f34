#include "service/engine/clamd_engine.h"

#include "testkit/stand_in_clamd.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace {

using Behaviour = StandInClamd::Behaviour;

const BYTE Content[] = "Write-Output 'hello'";

class ClamdEngineTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(clamd_.Start()); }

  ClamdSettings Settings() {
    ClamdSettings settings;
    settings.address = clamd_.address();
    settings.timeoutMs = 500;
    settings.backoffFirstMs = 400;
    settings.backoffMaxMs = 1000;
    return settings;
  }

  static ClamdResult Scan(ClamdEngine& engine) {
    ClamdScan scan;
    engine.Begin(&scan, sizeof Content);
    scan.Feed(Content, sizeof Content);
    return engine.Finish(&scan);
  }

  // The back-off is behaviour with a length: the test waits it out.
  static void WaitOutBackoff(const ClamdEngine& engine) {
    while (engine.BackoffRemainingMs() > 0) Sleep(20);
  }

  StandInClamd clamd_;
};

TEST_F(ClamdEngineTest, DefaultsAreTheDocumentedOnes) {
  const ClamdSettings settings;
  EXPECT_EQ(settings.timeoutMs, 1000u);
  EXPECT_EQ(settings.textMode, ClamdTextMode::Utf8);
  EXPECT_EQ(settings.backoffFirstMs, 5000u);
  EXPECT_EQ(settings.backoffMaxMs, 60000u);
}

TEST_F(ClamdEngineTest, LeavesAFailedClamdAloneForTheBackoffPeriod) {
  ClamdEngine engine(Settings());
  clamd_.Set(Behaviour::Reply, "stream: OK");
  EXPECT_EQ(Scan(engine).outcome, ClamdOutcome::Clean);
  EXPECT_EQ(engine.BackoffRemainingMs(), 0u) << "a verdict starts no back-off";

  clamd_.Set(Behaviour::CloseAtOnce);
  const ClamdResult failed = Scan(engine);
  EXPECT_EQ(failed.outcome, ClamdOutcome::Failed);
  const ULONGLONG remaining = engine.BackoffRemainingMs();
  EXPECT_GT(remaining, 0u);
  EXPECT_LE(remaining, 400u);

  clamd_.Set(Behaviour::Reply, "stream: OK");
  for (int i = 0; i < 3; ++i) {
    const ClamdResult skipped = Scan(engine);
    EXPECT_EQ(skipped.outcome, ClamdOutcome::Skipped);
    EXPECT_EQ(skipped.text, "skipped (back-off)");
  }

  WaitOutBackoff(engine);
  EXPECT_EQ(Scan(engine).outcome, ClamdOutcome::Clean) << "after the period clamd is asked again";
  // Connections are accepted in order: had a skipped scan connected, its
  // connection would have come before this one.
  EXPECT_EQ(clamd_.accepted(), 3) << "the skipped scans made no connection";
  EXPECT_EQ(engine.BackoffRemainingMs(), 0u) << "the verdict ended the back-off";
  clamd_.Set(Behaviour::CloseAtOnce);
  Scan(engine);
  EXPECT_LE(engine.BackoffRemainingMs(), 400u) << "a fresh failure starts from the first period";
}

TEST_F(ClamdEngineTest, RepeatedFailuresDoubleThePeriodUpToItsLimit) {
  ClamdEngine engine(Settings());
  clamd_.Set(Behaviour::Reply, "INSTREAM size limit exceeded. ERROR");
  const ULONGLONG periods[] = {400, 800, 1000, 1000};
  for (size_t i = 0; i < 4; ++i) {
    WaitOutBackoff(engine);
    const ClamdResult result = Scan(engine);
    EXPECT_EQ(result.outcome, ClamdOutcome::Failed) << "trial " << i;
    const ULONGLONG remaining = engine.BackoffRemainingMs();
    EXPECT_LE(remaining, periods[i]) << "trial " << i;
    EXPECT_GT(remaining + 100, periods[i]) << "trial " << i;
  }
  EXPECT_EQ(clamd_.accepted(), 4);
}

TEST_F(ClamdEngineTest, LetsOneTrialThroughAtATime) {
  ClamdEngine engine(Settings());
  clamd_.Set(Behaviour::CloseAtOnce);
  Scan(engine);
  WaitOutBackoff(engine);

  // The trial stalls; scans meanwhile are skipped, not sent to clamd too.
  clamd_.Set(Behaviour::Stall);
  ClamdScan trial;
  engine.Begin(&trial, sizeof Content);
  EXPECT_FALSE(trial.failed());
  EXPECT_EQ(Scan(engine).outcome, ClamdOutcome::Skipped);
  trial.Feed(Content, sizeof Content);
  const ClamdResult stalled = engine.Finish(&trial);
  EXPECT_EQ(stalled.outcome, ClamdOutcome::Failed);
  EXPECT_NE(stalled.text.find("timed out"), std::string::npos) << stalled.text;
  EXPECT_GT(engine.BackoffRemainingMs(), 400u) << "the failed trial doubled the period";
  EXPECT_EQ(clamd_.accepted(), 2);
}

TEST_F(ClamdEngineTest, AnAbandonedTrialLetsTheNextOneThrough) {
  ClamdEngine engine(Settings());
  clamd_.Set(Behaviour::CloseAtOnce);
  Scan(engine);
  WaitOutBackoff(engine);
  clamd_.Set(Behaviour::Reply, "stream: OK");
  {
    // The client went away: the trial ends without Finish.
    ClamdScan abandoned;
    engine.Begin(&abandoned, sizeof Content);
    abandoned.Feed(Content, 4);
  }
  EXPECT_EQ(Scan(engine).outcome, ClamdOutcome::Clean);
}

TEST_F(ClamdEngineTest, FailuresOfScansAlreadyUnderWayDoNotLengthenIt) {
  ClamdEngine engine(Settings());
  clamd_.Set(Behaviour::Stall);
  // Three scans under way when clamd stops answering.
  std::thread scans[3];
  for (auto& scan : scans) scan = std::thread([&engine] { Scan(engine); });
  for (auto& scan : scans) scan.join();
  const ULONGLONG remaining = engine.BackoffRemainingMs();
  EXPECT_GT(remaining, 0u);
  EXPECT_LE(remaining, 400u) << "one back-off period, not three doublings";
  EXPECT_EQ(clamd_.accepted(), 3);
}

}  // namespace
