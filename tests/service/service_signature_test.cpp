// Signature files: the rules they add, and the lines the service refuses.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

namespace {

std::string Narrow(const std::wstring& path) {
  std::string out;
  for (const wchar_t c : path) out.push_back(static_cast<char>(c));  // temp paths are ASCII
  return out;
}

struct BadFileCase {
  const char* name;
  std::string contents;
  int line;
};
// Test names say which case failed; the bytes of the case would not.
void PrintTo(const BadFileCase& c, std::ostream* out) { *out << c.name; }

std::vector<BadFileCase> BadFileCases() {
  return {
      {"MissingKind", "good text fine\nlonely\n", 2},
      {"UnknownKind", "# header\n\nr base64 S0VTVA==\n", 3},
      {"OddHexDigits", "r hex 4B4\n", 1},
      {"NotHex", "a hex 00\n\n  # note\nb hex 4G\n", 4},
      {"EmptyText", "r text\n", 1},
      {"EmptyHex", "r hex  \n", 1},
      {"DuplicateName", "r text a\r\nr text b\r\n", 2},
      {"NameWithSlash", "ok hex 00\nbad/name text a\n", 2},
      {"NameOfBuiltInRule", "EICAR-Test-File text x\n", 1},
      {"NameTooLong", std::string(65, 'n') + " text x\n", 1},
      {"TextNotUtf8", "fine text ok\nr text \xC3\x28\n", 2},
      {"PatternTooLong", "r hex " + std::string(2 * 4097, '0') + "\n", 1},
      {"LastLineWithoutNewline", "a text x\nb hex zz", 2},
  };
}

class BadSignatureFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(BadSignatureFileTest, StopsTheServiceNamingTheLine) {
  ReferenceService service;
  const std::wstring rules = service.PathOf(L"rules.txt");
  ASSERT_TRUE(WriteTextFile(rules, GetParam().contents));
  ASSERT_TRUE(service.Launch({L"--signatures", rules, L"--max-seconds", L"60"}));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode)) << "the service started anyway";
  EXPECT_NE(0u, exitCode);
  const std::string where = Narrow(rules) + ":" + std::to_string(GetParam().line) + ": ";
  EXPECT_NE(std::string::npos, service.Stderr().find(where)) << service.Stderr();
  EXPECT_FALSE(ServicePipeExists());
}

INSTANTIATE_TEST_SUITE_P(Files, BadSignatureFileTest, ::testing::ValuesIn(BadFileCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignatureFileTest, MissingFileStopsTheServiceNamingIt) {
  ReferenceService service;
  const std::wstring rules = service.PathOf(L"no-such-rules.txt");
  ASSERT_TRUE(service.Launch({L"--signatures", rules, L"--max-seconds", L"60"}));
  DWORD exitCode = 0;
  ASSERT_TRUE(service.WaitForExit(ClientWaitMs, &exitCode));
  EXPECT_NE(0u, exitCode);
  EXPECT_NE(std::string::npos, service.Stderr().find(Narrow(rules) + ": ")) << service.Stderr();
}

// Rules of every kind; the last has a blank of its own before its text.
const char SignatureFile[] =
    "\xEF\xBB\xBF# rules for the tests\r\n"
    "\r\n"
    "kest-magic hex 4B 45 53 54 00ff\r\n"
    "   # an indented comment\n"
    "greeting text Hello, scanner!\n"
    "accented text Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n"
    "spaced text  two blanks";

struct RuleCase {
  const char* name;
  Bytes content;
  const char* rule;  // nullptr: not detected
};
void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.name; }

std::vector<RuleCase> RuleCases() {
  const Bytes magic = {0x4B, 0x45, 0x53, 0x54, 0x00, 0xFF};
  return {
      {"HexBytes", Concat({AsBytes("head "), magic, AsBytes(" tail")}), "kest-magic"},
      {"HexBytesCutShort", Bytes(magic.begin(), magic.end() - 1), nullptr},
      {"HexIsNotWidened", Utf16(std::string("KEST\0\xFF", 6)), nullptr},
      {"TextBytes", AsBytes("say Hello, scanner! now"), "greeting"},
      {"TextUtf16", Utf16(std::string("say Hello, scanner! now")), "greeting"},
      {"TextIsCaseSensitive", AsBytes("hello, scanner!"), nullptr},
      {"NonAsciiTextUtf8", AsBytes("Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln"), "accented"},
      {"NonAsciiTextUtf16", Utf16Bytes(L"Gr\x00FC\x00DF" L"e aus K\x00F6ln"), "accented"},
      {"TextKeepsItsLeadingBlank", AsBytes("a  two blanks"), "spaced"},
      {"TextWithoutItsLeadingBlank", AsBytes("two blanks"), nullptr},
      {"EarlierMatchWins", Concat({AsBytes("Hello, scanner!"), magic}), "greeting"},
      {"EarlierMatchWinsReversed", Concat({magic, AsBytes("Hello, scanner!")}), "kest-magic"},
      {"BuiltInRulesRemain", AsBytes(EicarText()), EicarRule},
  };
}

class SignatureRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(SignatureRuleTest, DetectsWhatTheFileDescribes) {
  ReferenceService service;
  const std::wstring rules = service.PathOf(L"rules.txt");
  ASSERT_TRUE(WriteTextFile(rules, SignatureFile));
  ASSERT_TRUE(service.Start({L"--signatures", rules, L"--log", service.PathOf(L"log.txt")}));

  ScanRequest request;
  request.content = GetParam().content;
  EXPECT_EQ(GetParam().rule != nullptr ? 1 : 0, Scan(request));
  const std::vector<std::string> lines =
      WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"log.txt")); }, 1);
  ASSERT_EQ(1u, lines.size());
  std::map<std::string, JsonValue> entry;
  ASSERT_TRUE(ParseFlatJson(lines[0], &entry)) << lines[0];
  if (GetParam().rule != nullptr) {
    EXPECT_EQ(GetParam().rule, entry["rule"].text) << lines[0];
  } else {
    EXPECT_EQ(JsonValue::Kind::Null, entry["rule"].kind) << lines[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Contents, SignatureRuleTest, ::testing::ValuesIn(RuleCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
