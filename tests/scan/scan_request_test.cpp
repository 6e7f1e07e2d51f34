#include "scan/scan_request.h"

#include "scan/scan.h"
#include "scan/service_channel.h"
#include "tests/scan/scan_path_test.h"

#include <gtest/gtest.h>

namespace {

class ScanRequestTest : public ScanPathTest {
 protected:
  // Runs one exchange on a fresh channel; returns whether it succeeded.
  bool Exchange(const std::vector<BYTE>& appName, const std::vector<BYTE>& contentName,
                const std::vector<BYTE>& content, bool truncated, uint32_t* verdict) {
    const HANDLE pipe = OpenServiceChannel();
    EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
    if (pipe == INVALID_HANDLE_VALUE) return false;
    const bool exchanged = ExchangeScanRequest(
        pipe, appName.data(), static_cast<DWORD>(appName.size()), contentName.data(),
        static_cast<DWORD>(contentName.size()), content.data(),
        static_cast<DWORD>(content.size()), truncated, GetTickCount64() + ExchangeBudgetMs,
        verdict);
    CloseHandle(pipe);
    return exchanged;
  }
};

TEST_F(ScanRequestTest, RequestIsLaidOutByteForByte) {
  ASSERT_TRUE(StartService());
  FakeProcessId(300);
  const std::vector<BYTE> content = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  uint32_t verdict = 0xdeadbeef;
  EXPECT_TRUE(Exchange({0x70, 0x00, 0x73, 0x00}, {}, content, false, &verdict));
  EXPECT_EQ(verdict, 1u);
  service.Stop();
  const std::vector<BYTE> expected = {
      0x4B, 0x45, 0x53, 0x54, 0x01, 0x00, 0x00, 0x00, 0x2C, 0x01, 0x00, 0x00,
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0x70, 0x00, 0x73, 0x00, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  const auto connections = service.Connections();
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_EQ(connections[0], expected);
}

TEST_F(ScanRequestTest, PiecesFollowHeaderInOrderAndEmptyOnesAreLeftOut) {
  struct Case {
    const char* name;
    std::vector<BYTE> appName, contentName;
    bool truncated;
  };
  const Case cases[] = {
      {"both names", Utf16Bytes(L"host.exe"), Utf16Bytes(L"C:\\script.ps1"), true},
      {"content name only", {}, Utf16Bytes(L"buffer"), false},
      {"no names", {}, {}, false},
  };
  TestServiceScript script;
  script.instances = 1;
  ASSERT_TRUE(StartService(script));
  const std::vector<BYTE> content = PatternBytes(3000);
  for (const Case& c : cases) {
    uint32_t verdict = 0;
    EXPECT_TRUE(Exchange(c.appName, c.contentName, content, c.truncated, &verdict)) << c.name;
  }
  const std::vector<ParsedRequest> requests = StopAndTakeRequests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(cases[i].name);
    const ParsedRequest& request = requests[i];
    ASSERT_TRUE(request.headerComplete);
    EXPECT_EQ(request.header.magic, ScanRequestMagic);
    EXPECT_EQ(request.header.version, 1u);
    EXPECT_EQ(request.header.processId, GetCurrentProcessId());
    EXPECT_EQ(request.header.truncated, cases[i].truncated ? 1u : 0u);
    EXPECT_EQ(request.appName, cases[i].appName);
    EXPECT_EQ(request.contentName, cases[i].contentName);
    EXPECT_EQ(request.content, content);
    EXPECT_EQ(request.trailing, 0u);
    EXPECT_EQ(request.header.appNameBytes, cases[i].appName.size());
    EXPECT_EQ(request.header.contentNameBytes, cases[i].contentName.size());
    EXPECT_EQ(request.header.contentBytes, content.size());
  }
}

TEST_F(ScanRequestTest, VerdictIsTheFirstFourBytesLittleEndian) {
  struct Case {
    const wchar_t* reply;
    bool closeAfterReply;
    bool exchanged;
    uint32_t verdict;
  };
  const Case cases[] = {
      {L"01000000", false, true, 1},
      {L"00000001", false, true, 0x01000000},
      {L"02000000", false, true, 2},
      {L"00800000", false, true, 0x8000},
      {L"FFFFFFFF", false, true, 0xFFFFFFFF},
      {L"01000000AABBCCDD", false, true, 1},  // trailing bytes are never read
      {L"010000", true, false, 0},            // three bytes, then the end
      {L"", true, false, 0},                  // nothing, then the end
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.reply)));
    TestServiceScript script;
    script.reply = c.reply;
    script.closeAfterReply = c.closeAfterReply;
    ASSERT_TRUE(StartService(script));
    uint32_t verdict = 0xdeadbeef;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Exchange(Utf16Bytes(L"app"), {}, PatternBytes(16), false, &verdict), c.exchanged);
    if (c.exchanged) {
      EXPECT_EQ(verdict, c.verdict);
    } else {
      EXPECT_EQ(verdict, 0xdeadbeefu) << "a failed exchange stored a verdict";
      EXPECT_LT(GetTickCount64() - start, 1000u) << "the closed pipe was not noticed";
    }
    service.Stop();
  }
}

// WriteFile that fails its Nth call on the pipe as a broken pipe would.
struct WriteFault {
  decltype(&WriteFile) realWrite = nullptr;
  decltype(&ReadFile) realRead = nullptr;
  int failAt = 0;
  int writes = 0;
  int reads = 0;
};
WriteFault gWriteFault;

BOOL WINAPI FailingNthWrite(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                            LPOVERLAPPED overlapped) {
  if (++gWriteFault.writes == gWriteFault.failAt) {
    SetLastError(ERROR_NO_DATA);
    return FALSE;
  }
  return gWriteFault.realWrite(file, buffer, count, written, overlapped);
}

BOOL WINAPI CountingRead(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                         LPOVERLAPPED overlapped) {
  ++gWriteFault.reads;
  return gWriteFault.realRead(file, buffer, count, read, overlapped);
}

TEST_F(ScanRequestTest, FirstFailingTransferEndsTheExchange) {
  const std::vector<BYTE> appName = Utf16Bytes(L"app");
  const std::vector<BYTE> contentName = Utf16Bytes(L"name");
  const std::vector<BYTE> content = PatternBytes(100);
  const size_t pieceEnds[] = {28, 28 + appName.size(), 28 + appName.size() + contentName.size()};
  for (int failAt = 1; failAt <= 4; ++failAt) {
    SCOPED_TRACE(testing::Message() << "write " << failAt << " fails");
    ASSERT_TRUE(StartService());
    const HANDLE pipe = OpenServiceChannel();
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    gWriteFault = WriteFault();
    gWriteFault.failAt = failAt;
    gWriteFault.realWrite = Patch("kernel32.dll", "WriteFile", &FailingNthWrite);
    gWriteFault.realRead = Patch("kernel32.dll", "ReadFile", &CountingRead);
    uint32_t verdict = 0xdeadbeef;
    EXPECT_FALSE(ExchangeScanRequest(pipe, appName.data(), static_cast<DWORD>(appName.size()),
                                     contentName.data(), static_cast<DWORD>(contentName.size()),
                                     content.data(), static_cast<DWORD>(content.size()), false,
                                     GetTickCount64() + ExchangeBudgetMs, &verdict));
    RestorePatches();
    CloseHandle(pipe);
    EXPECT_EQ(gWriteFault.writes, failAt) << "a piece was written after the failure";
    EXPECT_EQ(gWriteFault.reads, 0) << "a verdict was read after the failure";
    EXPECT_EQ(verdict, 0xdeadbeefu);
    EXPECT_TRUE(service.WaitForEndedConnections(1));
    service.Stop();
    EXPECT_EQ(service.TotalBytesReceived(), failAt == 1 ? 0 : pieceEnds[failAt - 2]);
  }
}

}  // namespace
