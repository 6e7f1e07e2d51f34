// The scan log file: rotated by size, keeping a fixed number of files.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

namespace {

TEST(ScanLogTest, RotatesAtItsSizeAndKeepsItsFileCount) {
  ReferenceService service;
  constexpr size_t MaxBytes = 1500;
  ASSERT_TRUE(service.Start({L"--log", service.PathOf(L"scans.log"), L"--log-max-bytes",
                             std::to_wstring(MaxBytes), L"--log-files", L"3"}));
  constexpr int Scans = 40;
  for (int i = 0; i < Scans; ++i) {
    ScanRequest request;
    char name[16];
    snprintf(name, sizeof name, "scan-%02d", i);
    request.contentName = Utf16(std::string(name));
    request.content = AsBytes(EicarText());
    ASSERT_EQ(Scan(request), 1);
    // Waits for this scan's line before the next scan, so that every write
    // of the log is one line and rotation happens between single lines. The
    // line follows the verdict by a moment.
    const ULONGLONG giveUp = GetTickCount64() + ClientWaitMs;
    while (ReadTextFile(service.PathOf(L"scans.log")).find(name) == std::string::npos &&
           GetTickCount64() < giveUp) {
      Sleep(5);
    }
  }
  service.Kill();

  const std::string current = ReadTextFile(service.PathOf(L"scans.log"));
  const std::string first = ReadTextFile(service.PathOf(L"scans.log.1"));
  const std::string second = ReadTextFile(service.PathOf(L"scans.log.2"));
  EXPECT_EQ(ReadTextFile(service.PathOf(L"scans.log.3")), "") << "more files than kept";
  for (const std::string* file : {&current, &first, &second}) {
    EXPECT_FALSE(file->empty());
    EXPECT_LE(file->size(), MaxBytes);
  }
  // The files hold the newest scans, oldest first, without a gap.
  std::vector<std::string> lines = LogLines(second);
  for (const std::string& line : LogLines(first)) lines.push_back(line);
  for (const std::string& line : LogLines(current)) lines.push_back(line);
  ASSERT_FALSE(lines.empty());
  ASSERT_LT(lines.size(), static_cast<size_t>(Scans)) << "nothing was rotated away";
  for (size_t k = 0; k < lines.size(); ++k) {
    std::map<std::string, JsonValue> object;
    ASSERT_TRUE(ParseFlatJson(lines[k], &object)) << lines[k];
    char expected[16];
    snprintf(expected, sizeof expected, "scan-%02zu", Scans - lines.size() + k);
    EXPECT_EQ(object["contentName"].text, expected);
  }
}

}  // namespace
