// What the service detects with its built-in rules, and what it logs.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

namespace {

Bytes Filler(size_t count, BYTE value = 'A') { return Bytes(count, value); }

struct ScanCase {
  const char* name;
  ScanRequest request;
  const char* rule;  // expected rule, or nullptr for "not detected"
};
// Test names say which case failed; the bytes of the case would not.
void PrintTo(const ScanCase& c, std::ostream* out) { *out << c.name; }

ScanRequest WithContent(Bytes content) {
  ScanRequest request;
  request.content = std::move(content);
  return request;
}

std::string WithLastCharChanged(std::string text) {
  text.back() = static_cast<char>(text.back() ^ 1);
  return text;
}

std::vector<ScanCase> ScanCases() {
  const std::string eicar = EicarText();
  const std::string sample = AmsiSampleText();
  ScanRequest longNames = WithContent(AsBytes(sample));
  longNames.appName = Utf16(std::string(512, 'n'));
  longNames.contentName = Utf16(std::string(512, 'c'));
  ScanRequest truncated = WithContent(AsBytes(eicar));
  truncated.truncated = true;
  return {
      {"EicarBytes", WithContent(AsBytes(eicar)), EicarRule},
      {"EicarUtf16", WithContent(Utf16(eicar)), EicarRule},
      {"EicarUtf16AtOddOffset", WithContent(Concat({AsBytes("x"), Utf16(eicar)})), EicarRule},
      {"AmsiSampleBytes", WithContent(AsBytes(sample)), AmsiSampleRule},
      {"AmsiSampleUtf16", WithContent(Utf16(sample)), AmsiSampleRule},
      {"AmsiSampleInScript", WithContent(AsBytes("$s = '" + sample + "'; Write-Host $s")),
       AmsiSampleRule},
      {"AmsiSampleAcrossReadChunks",
       WithContent(Concat({Filler(64 * 1024 - 20), AsBytes(sample), Filler(1000)})),
       AmsiSampleRule},
      {"EicarAtEndOf8MiB",
       WithContent(Concat({Filler(RequestMaxContentBytes - eicar.size()), AsBytes(eicar)})), EicarRule},
      {"EicarUtf16AtStartOf8MiB",
       WithContent(Concat({Utf16(eicar), Filler(RequestMaxContentBytes - 2 * eicar.size())})),
       EicarRule},
      {"FirstMatchInContentWins",
       WithContent(AsBytes("1 " + sample + " 2 " + eicar)), AmsiSampleRule},
      {"NamesOf1024Bytes", longNames, AmsiSampleRule},
      {"TruncatedContent", truncated, EicarRule},
      {"CleanScript", WithContent(AsBytes("Get-Process | Where-Object CPU -gt 10")), nullptr},
      {"OneByte", WithContent(AsBytes("X")), nullptr},
      {"Clean8MiB", WithContent(Filler(RequestMaxContentBytes, 'X')), nullptr},
      {"EicarOneCharOff", WithContent(AsBytes(WithLastCharChanged(eicar))), nullptr},
      {"AmsiSampleLastCharMissing",
       WithContent(AsBytes(sample.substr(0, sample.size() - 1))), nullptr},
      {"AmsiSampleHalfUtf16",
       WithContent(Concat({AsBytes(sample.substr(0, 20)), Utf16(sample.substr(20))})), nullptr},
  };
}

class BuiltInRuleTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(BuiltInRuleTest, GivesTheVerdictAndLogsTheRule) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--log", service.PathOf(L"log.txt")}));
  const ScanCase& c = GetParam();
  EXPECT_EQ(c.rule != nullptr ? 1 : 0, Scan(c.request));

  const std::vector<std::string> lines =
      WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"log.txt")); }, 1);
  ASSERT_EQ(1u, lines.size());
  std::map<std::string, JsonValue> entry;
  ASSERT_TRUE(ParseFlatJson(lines[0], &entry)) << lines[0];
  if (c.rule != nullptr) {
    EXPECT_EQ(JsonValue::Kind::String, entry["rule"].kind);
    EXPECT_EQ(c.rule, entry["rule"].text);
  } else {
    EXPECT_EQ(JsonValue::Kind::Null, entry["rule"].kind) << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, BuiltInRuleTest, ::testing::ValuesIn(ScanCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The log line of one scan, field by field.
struct LogCase {
  const char* name;
  bool toFile;  // --log FILE, or stdout
  uint32_t processId;
  std::wstring appName;
  std::wstring contentName;
  std::string expectedApp;  // UTF-8
  std::string expectedContentName;
  Bytes content;
  bool truncated;
  const char* rule;
};
void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

std::vector<LogCase> LogCases() {
  const std::wstring tricky = L"Tool \"q\" \\ a/b\nline\ttab\x01 \x00e9 \xD83D\xDE00";
  const std::string trickyUtf8 = "Tool \"q\" \\ a/b\nline\ttab\x01 \xC3\xA9 \xF0\x9F\x98\x80";
  const std::wstring loneSurrogate = std::wstring(L"x") + wchar_t(0xD800) + L"y";
  return {
      {"DetectedToFile", true, 4242, tricky, L"C:\\scripts\\run.ps1", trickyUtf8,
       "C:\\scripts\\run.ps1", Utf16(EicarText()), true, EicarRule},
      {"CleanToStdout", false, 0xFFFFFFFE, L"", L"", "", "", AsBytes("echo hello"), false,
       nullptr},
      {"LoneSurrogateToFile", true, 7, loneSurrogate, L"\x4E2D\x6587", "x\xEF\xBF\xBDy",
       "\xE4\xB8\xAD\xE6\x96\x87", AsBytes(AmsiSampleText()), false, AmsiSampleRule},
  };
}

std::string UtcNow() {
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[40];
  snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
           now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

bool IsIsoUtcWithMilliseconds(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != shape.size()) return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !(text[i] >= '0' && text[i] <= '9') : text[i] != shape[i]) return false;
  }
  return true;
}

class LogLineTest : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogLineTest, HoldsEveryFieldOfTheScan) {
  const LogCase& c = GetParam();
  ReferenceService service;
  std::vector<std::wstring> arguments;
  if (c.toFile) arguments = {L"--log", service.PathOf(L"log.txt")};
  ASSERT_TRUE(service.Start(arguments));

  ScanRequest request;
  request.processId = c.processId;
  request.appName = Utf16Bytes(c.appName);
  request.contentName = Utf16Bytes(c.contentName);
  request.content = c.content;
  request.truncated = c.truncated;
  const std::string before = UtcNow();
  EXPECT_EQ(c.rule != nullptr ? 1 : 0, Scan(request));

  auto read = [&] {
    return c.toFile ? ReadTextFile(service.PathOf(L"log.txt")) : service.Stdout();
  };
  const std::vector<std::string> lines = WaitForLogLines(read, 1);
  const std::string after = UtcNow();
  ASSERT_EQ(1u, lines.size());
  if (!c.toFile) {
    EXPECT_EQ(lines[0] + "\n", service.Stdout()) << "stdout holds only the log";
  }

  std::map<std::string, JsonValue> entry;
  ASSERT_TRUE(ParseFlatJson(lines[0], &entry)) << lines[0];
  std::vector<std::string> keys;
  for (const auto& field : entry) keys.push_back(field.first);
  EXPECT_EQ((std::vector<std::string>{"app", "contentBytes", "contentName", "pid", "rule",
                                      "time", "truncated", "us", "verdict"}),
            keys);

  using Kind = JsonValue::Kind;
  EXPECT_EQ(Kind::String, entry["time"].kind);
  EXPECT_TRUE(IsIsoUtcWithMilliseconds(entry["time"].text)) << entry["time"].text;
  EXPECT_LE(before, entry["time"].text);
  EXPECT_GE(after, entry["time"].text);
  EXPECT_EQ(Kind::Number, entry["pid"].kind);
  EXPECT_EQ(std::to_string(c.processId), entry["pid"].text);
  EXPECT_EQ(Kind::String, entry["app"].kind);
  EXPECT_EQ(c.expectedApp, entry["app"].text);
  EXPECT_EQ(Kind::String, entry["contentName"].kind);
  EXPECT_EQ(c.expectedContentName, entry["contentName"].text);
  EXPECT_EQ(Kind::Number, entry["contentBytes"].kind);
  EXPECT_EQ(std::to_string(c.content.size()), entry["contentBytes"].text);
  EXPECT_EQ(Kind::Bool, entry["truncated"].kind);
  EXPECT_EQ(c.truncated, entry["truncated"].flag);
  EXPECT_EQ(Kind::Number, entry["verdict"].kind);
  EXPECT_EQ(c.rule != nullptr ? "1" : "0", entry["verdict"].text);
  if (c.rule != nullptr) {
    EXPECT_EQ(Kind::String, entry["rule"].kind);
    EXPECT_EQ(c.rule, entry["rule"].text);
  } else {
    EXPECT_EQ(Kind::Null, entry["rule"].kind);
  }
  EXPECT_EQ(Kind::Number, entry["us"].kind);
  EXPECT_NE('-', entry["us"].text[0]);
}

INSTANTIATE_TEST_SUITE_P(Scans, LogLineTest, ::testing::ValuesIn(LogCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
