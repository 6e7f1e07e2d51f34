#include "scan/scan.h"

#include "tests/scan/scan_path_test.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace {

using ScanTest = ScanPathTest;

// A stream whose content comes by address, with both names set.
void Prepare(FakeAmsiStream& stream, size_t contentBytes = 64, bool byAddress = true) {
  stream.SetName(AMSI_ATTRIBUTE_APP_NAME, L"PowerShell_C:\\host.exe_10.0");
  stream.SetName(AMSI_ATTRIBUTE_CONTENT_NAME, L"C:\\scripts\\run.ps1");
  stream.SetContent(PatternBytes(contentBytes), byAddress);
}

TEST_F(ScanTest, NullResultPointerIsInvalidAndStreamIsNotTouched) {
  FakeAmsiStream stream;
  Prepare(stream);
  EXPECT_EQ(Scan(nullptr, stream.get(), nullptr), E_INVALIDARG);
  EXPECT_EQ(stream.callCount, 0u);
}

TEST_F(ScanTest, EarlyExitsLeaveNotDetectedWhateverResultHeld) {
  struct Case {
    const char* name;
    std::function<void(FakeAmsiStream&)> arrange;
    size_t streamCalls;  // calls made on the stream before the exit
    size_t pipeOpens;
    bool nullStream = false;
    bool failHeap = false;
  };
  const Case cases[] = {
      {"null stream", [](FakeAmsiStream&) {}, 0, 0, true},
      {"size attribute fails",
       [](FakeAmsiStream& s) { Prepare(s); s.SetContentSize(64, E_FAIL); }, 1, 0},
      {"size is 0", [](FakeAmsiStream& s) { Prepare(s); s.SetContentSize(0); }, 1, 0},
      {"no address and no memory", [](FakeAmsiStream& s) { Prepare(s, 64, false); }, 4, 0,
       false, true},
      {"Read fails",
       [](FakeAmsiStream& s) { Prepare(s, 64, false); s.readResult = E_FAIL; }, 5, 0},
      {"Read gives 0 bytes",
       [](FakeAmsiStream& s) { Prepare(s, 64, false); s.readLimit = 0; }, 5, 0},
      {"no service", [](FakeAmsiStream& s) { Prepare(s); }, 4, 1},
  };
  for (const Case& c : cases) {
    for (const DWORD before : {0u, 0x8000u, 0xdeadbeefu}) {
      SCOPED_TRACE(testing::Message() << c.name << ", result held " << before);
      RecordPipeOpens();
      WatchHeap();
      gScanHooks.failHeapAlloc = c.failHeap;
      FakeAmsiStream stream;
      c.arrange(stream);
      AMSI_RESULT result = static_cast<AMSI_RESULT>(before);
      EXPECT_EQ(Scan(nullptr, c.nullStream ? nullptr : stream.get(), &result), S_OK);
      RestorePatches();
      EXPECT_EQ(result, AMSI_RESULT_NOT_DETECTED);
      EXPECT_EQ(stream.callCount, c.streamCalls);
      EXPECT_EQ(gScanHooks.opens.size(), c.pipeOpens);
      gScanHooks = ScanHooks();
    }
  }
}

TEST_F(ScanTest, GathersAttributesInOrderThenTakesTickBaseThenOpens) {
  ASSERT_TRUE(StartService());
  RecordPipeOpens();
  ScriptTicks({});  // real clock, calls counted
  FakeAmsiStream stream;
  Prepare(stream);
  EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED);
  ASSERT_EQ(stream.callCount, 4u);
  const AMSI_ATTRIBUTE order[] = {AMSI_ATTRIBUTE_CONTENT_SIZE, AMSI_ATTRIBUTE_APP_NAME,
                                  AMSI_ATTRIBUTE_CONTENT_NAME, AMSI_ATTRIBUTE_CONTENT_ADDRESS};
  const ULONG sizes[] = {8, 1024, 1024, sizeof(void*)};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_FALSE(stream.calls[i].isRead);
    EXPECT_EQ(stream.calls[i].attribute, order[i]);
    EXPECT_EQ(stream.calls[i].dataSize, sizes[i]);
  }
  EXPECT_EQ(gScanHooks.streamCallsAtTickBase, 4u);
  EXPECT_EQ(gScanHooks.tickCallsAtFirstOpen, 1u) << "the tick base is not taken right before the open";
}

TEST_F(ScanTest, ContentIsCappedAt8MiBAndFlaggedWhenLonger) {
  struct Case {
    const char* name;
    ULONGLONG reportedSize;
    uint32_t sent;
    uint32_t truncated;
  };
  const Case cases[] = {
      {"one byte", 1, 1, 0},
      {"exactly 8 MiB", 8388608, 8388608, 0},
      {"8 MiB + 1", 8388609, 8388608, 1},
      {"above 4 GiB", (5ull << 30) + 7, 8388608, 1},
      {"4 GiB + 1 (low 32 bits: 1)", (1ull << 32) + 1, 8388608, 1},
  };
  const std::vector<BYTE> data = PatternBytes(8388608 + 1);
  TestServiceScript script;
  ASSERT_TRUE(StartService(script));
  for (const Case& c : cases) {
    FakeAmsiStream stream;
    stream.SetContent(data, true);
    stream.SetContentSize(c.reportedSize);
    EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED) << c.name;
  }
  const std::vector<ParsedRequest> requests = StopAndTakeRequests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const ParsedRequest& request = requests[i];
    EXPECT_EQ(request.header.contentBytes, cases[i].sent);
    EXPECT_EQ(request.header.truncated, cases[i].truncated);
    ASSERT_EQ(request.content.size(), cases[i].sent);
    EXPECT_TRUE(std::equal(request.content.begin(), request.content.end(), data.begin()));
  }
}

TEST_F(ScanTest, AddressPathMakesNoAllocationAndNoRead) {
  ASSERT_TRUE(StartService());
  WatchHeap();
  FakeAmsiStream stream;
  Prepare(stream, 100000, true);
  EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED);
  EXPECT_EQ(gScanHooks.heapAllocs, 0u);
  EXPECT_EQ(stream.ReadCalls(), 0u);
}

TEST_F(ScanTest, ReadPathReadsOnceFromStartIntoOneCopyOfCappedSize) {
  struct Case {
    const char* name;
    size_t contentBytes;
    ULONG capped;
    HRESULT addressResult;  // how the address attribute answers
  };
  const Case cases[] = {
      {"no address attribute", 5000, 5000, E_NOTIMPL},
      {"null address with success", 5000, 5000, S_OK},
      {"longer than the cap", 8388608 + 4096, 8388608, E_NOTIMPL},
  };
  ASSERT_TRUE(StartService());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeAmsiStream stream;
    Prepare(stream, c.contentBytes, false);
    FakeAmsiStream::Answer address;
    address.result = c.addressResult;
    address.data.assign(sizeof(void*), 0);
    address.returnedSize = sizeof(void*);
    stream.SetAnswer(AMSI_ATTRIBUTE_CONTENT_ADDRESS, address);
    WatchHeap();
    EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED);
    RestorePatches();
    EXPECT_EQ(gScanHooks.heapAllocSizes, (std::vector<SIZE_T>{c.capped}));
    ASSERT_EQ(stream.ReadCalls(), 1u);
    ASSERT_EQ(stream.callCount, 5u);
    EXPECT_TRUE(stream.calls[4].isRead);
    EXPECT_EQ(stream.calls[4].position, 0u);
    EXPECT_EQ(stream.calls[4].dataSize, c.capped);
    gScanHooks = ScanHooks();
  }
  const std::vector<ParsedRequest> requests = StopAndTakeRequests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const ParsedRequest& request = requests[i];
    std::vector<BYTE> expected = PatternBytes(cases[i].contentBytes);
    expected.resize(cases[i].capped);
    EXPECT_EQ(request.content, expected) << cases[i].name;
  }
}

TEST_F(ScanTest, ReadCountDecidesContentBytes) {
  struct Case {
    const char* name;
    ULONG placed;             // bytes the stream really places
    ULONG reported;           // count it reports
    uint32_t expectedBytes;   // what is sent
  };
  const Case cases[] = {
      {"short read is sent as it is", 100, 100, 100},
      {"count above the size asked is cut to it", 200, 5000, 200},
  };
  ASSERT_TRUE(StartService());
  for (const Case& c : cases) {
    FakeAmsiStream stream;
    Prepare(stream, 200, false);
    stream.readLimit = c.placed;
    stream.overrideReadCount = true;
    stream.reportedReadCount = c.reported;
    EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED) << c.name;
    EXPECT_EQ(stream.ReadCalls(), 1u) << c.name;
  }
  const std::vector<ParsedRequest> requests = StopAndTakeRequests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const ParsedRequest& request = requests[i];
    EXPECT_EQ(request.header.contentBytes, cases[i].expectedBytes);
    EXPECT_EQ(request.header.truncated, 0u);
    EXPECT_EQ(request.content.size(), cases[i].expectedBytes);
    EXPECT_EQ(request.trailing, 0u);
  }
}

TEST(TrimmedNameBytes, DropsOddByteAndTrailingNulUnits) {
  struct Case {
    const char* name;
    bool succeeded;
    std::vector<BYTE> bytes;
    ULONG returnedSize;
    ULONG expected;
  };
  const std::vector<BYTE> abc = {'a', 0, 'b', 0, 'c', 0, 0, 0};
  const Case cases[] = {
      {"call failed", false, abc, 8, 0},
      {"size 0", true, abc, 0, 0},
      {"size 1", true, abc, 1, 0},
      {"three characters and NUL", true, abc, 8, 6},
      {"odd size rounds down", true, abc, 7, 6},
      {"no terminator", true, abc, 6, 6},
      {"NUL units only", true, {0, 0, 0, 0, 0, 0}, 6, 0},
      {"NUL inside is kept", true, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}, 10, 6},
      {"unit 0x0100 is not NUL", true, {'a', 0, 0, 1}, 4, 4},
      {"unit 0x0001 is not NUL", true, {'a', 0, 1, 0}, 4, 4},
  };
  for (const Case& c : cases) {
    std::vector<BYTE> buffer(NameBufferBytes, 0xCC);
    std::copy(c.bytes.begin(), c.bytes.end(), buffer.begin());
    EXPECT_EQ(TrimmedNameBytes(c.succeeded, c.returnedSize, buffer.data()), c.expected) << c.name;
  }
}

TEST(TrimmedNameBytes, SizeBeyondBufferIsCutToBufferBeforeTrimming) {
  std::vector<BYTE> buffer(NameBufferBytes, 'x');
  for (ULONG claimed : {1025u, 1026u, 4096u, 0xFFFFFFFFu}) {
    EXPECT_EQ(TrimmedNameBytes(true, claimed, buffer.data()), 1024u) << claimed;
  }
  buffer[1022] = 0;
  buffer[1023] = 0;
  EXPECT_EQ(TrimmedNameBytes(true, 5000, buffer.data()), 1022u);
}

TEST_F(ScanTest, NamesAreSentTrimmedAndAFailingNameIsLeftOut) {
  ASSERT_TRUE(StartService());
  struct Case {
    const char* name;
    FakeAmsiStream::Answer app;
    std::vector<BYTE> expectedApp;
  };
  FakeAmsiStream::Answer threeAndNul{S_OK, {'p', 0, 's', 0, '1', 0, 0, 0}, 8};
  FakeAmsiStream::Answer failing{E_NOT_SUFFICIENT_BUFFER, {'p', 0, 's', 0}, 4};
  FakeAmsiStream::Answer tooLong{S_OK, std::vector<BYTE>(NameBufferBytes, 'n'), 3000};
  const Case cases[] = {
      {"three characters and NUL", threeAndNul, {'p', 0, 's', 0, '1', 0}},
      {"failing call", failing, {}},
      {"size claimed beyond the buffer", tooLong, std::vector<BYTE>(NameBufferBytes, 'n')},
  };
  for (const Case& c : cases) {
    FakeAmsiStream stream;
    Prepare(stream);
    stream.SetAnswer(AMSI_ATTRIBUTE_APP_NAME, c.app);
    EXPECT_EQ(RunScan(stream), AMSI_RESULT_DETECTED) << c.name;
  }
  const std::vector<ParsedRequest> requests = StopAndTakeRequests();
  ASSERT_EQ(requests.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    const ParsedRequest& request = requests[i];
    EXPECT_EQ(request.header.appNameBytes, cases[i].expectedApp.size());
    EXPECT_EQ(request.appName, cases[i].expectedApp);
    EXPECT_EQ(request.contentName, Utf16Bytes(L"C:\\scripts\\run.ps1"));
    EXPECT_EQ(request.trailing, 0u);
  }
}

TEST_F(ScanTest, OnlyVerdictOneIsDetected) {
  struct Case {
    const wchar_t* reply;
    AMSI_RESULT expected;
  };
  const Case cases[] = {
      {L"01000000", AMSI_RESULT_DETECTED},
      {L"0100000077", AMSI_RESULT_DETECTED},
      {L"00000000", AMSI_RESULT_NOT_DETECTED},
      {L"00800000", AMSI_RESULT_NOT_DETECTED},
      {L"00000001", AMSI_RESULT_NOT_DETECTED},
  };
  for (const Case& c : cases) {
    TestServiceScript script;
    script.reply = c.reply;
    ASSERT_TRUE(StartService(script));
    FakeAmsiStream stream;
    Prepare(stream);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(RunScan(stream, &hr), c.expected) << testing::PrintToString(std::wstring(c.reply));
    EXPECT_EQ(hr, S_OK);
    service.Stop();
  }
}

TEST_F(ScanTest, ServiceThatNeverAnswersEndsScanAtDeadline) {
  struct Case {
    const char* name;
    TestServiceScript script;
    size_t contentBytes;
    size_t received;  // what the service gets before the deadline
  };
  TestServiceScript silent;
  silent.noReply = true;
  TestServiceScript stopsReading;
  stopsReading.readLimit = 1000;
  const Case cases[] = {
      {"reads the request, never answers", silent, 300, 0},
      {"stops reading after 1000 bytes", stopsReading, 256 * 1024, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(StartService(c.script));
    FakeAmsiStream stream;
    Prepare(stream, c.contentBytes);
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(RunScan(stream), AMSI_RESULT_NOT_DETECTED);
    const ULONGLONG elapsed = GetTickCount64() - start;
    // The protocol's own deadline: 1500 ms from the tick base, which is taken
    // just after the scan starts.
    EXPECT_GE(elapsed, 1490u);
    EXPECT_LT(elapsed, 2200u);
    EXPECT_TRUE(service.WaitForEndedConnections(1));
    service.Stop();
    if (c.received != 0) {
      EXPECT_EQ(service.TotalBytesReceived(), c.received);
    }
  }
}

TEST_F(ScanTest, ServiceThatGoesAwayMidRequestEndsScanAtOnce) {
  TestServiceScript script;
  script.closeAfter = 100;
  ASSERT_TRUE(StartService(script));
  FakeAmsiStream stream;
  Prepare(stream, 256 * 1024);  // more than the pipe holds: the write is pending
  const ULONGLONG start = GetTickCount64();
  EXPECT_EQ(RunScan(stream), AMSI_RESULT_NOT_DETECTED);
  EXPECT_LT(GetTickCount64() - start, 1000u) << "the broken pipe was not noticed";
  EXPECT_TRUE(service.WaitForEndedConnections(1));
  service.Stop();
  EXPECT_EQ(service.TotalBytesReceived(), 100u);
}

TEST_F(ScanTest, VerdictWithinBudgetCountsAndOneAfterItDoesNot) {
  struct Case {
    DWORD delayMs;
    AMSI_RESULT expected;
  };
  const Case cases[] = {{900, AMSI_RESULT_DETECTED}, {2100, AMSI_RESULT_NOT_DETECTED}};
  for (const Case& c : cases) {
    TestServiceScript script;
    script.delayMs = c.delayMs;
    ASSERT_TRUE(StartService(script));
    FakeAmsiStream stream;
    Prepare(stream);
    EXPECT_EQ(RunScan(stream), c.expected) << "reply after " << c.delayMs << " ms";
    service.Stop();
  }
}

TEST_F(ScanTest, DeadlineReachedBeforeFirstTransferSendsNothing) {
  ASSERT_TRUE(StartService());
  // Tick base 1000; every later reading is already at the deadline.
  ScriptTicks({1000, 2500});
  FakeAmsiStream stream;
  Prepare(stream);
  EXPECT_EQ(RunScan(stream), AMSI_RESULT_NOT_DETECTED);
  RestorePatches();
  EXPECT_TRUE(service.WaitForEndedConnections(1));
  service.Stop();
  EXPECT_EQ(service.TotalBytesReceived(), 0u);
}

TEST_F(ScanTest, ScansOnSeveralThreadsAtOnceEachGetTheirOwnExchange) {
  constexpr int Threads = 6;
  constexpr int ScansPerThread = 4;
  TestServiceScript script;
  // Twice as many instances as threads: a thread's next scan may start
  // before the service has taken the instance of its last one back.
  script.instances = 2 * Threads;
  ASSERT_TRUE(StartService(script));
  std::vector<std::vector<BYTE>> contents;
  for (int i = 0; i < Threads * ScansPerThread; ++i) {
    contents.push_back(PatternBytes(1000 + static_cast<size_t>(i) * 997, static_cast<unsigned>(i + 7)));
  }
  std::vector<int> detected(Threads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < ScansPerThread; ++k) {
        FakeAmsiStream stream;
        stream.SetContent(contents[static_cast<size_t>(t * ScansPerThread + k)], k % 2 == 0);
        AMSI_RESULT result = static_cast<AMSI_RESULT>(0);
        if (Scan(nullptr, stream.get(), &result) == S_OK && result == AMSI_RESULT_DETECTED) {
          ++detected[static_cast<size_t>(t)];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < Threads; ++t) EXPECT_EQ(detected[static_cast<size_t>(t)], ScansPerThread);
  service.Stop();
  auto connections = service.Connections();
  ASSERT_EQ(connections.size(), contents.size());
  std::vector<std::vector<BYTE>> received;
  for (const auto& connection : connections) received.push_back(ParseRequest(connection).content);
  std::sort(received.begin(), received.end());
  std::sort(contents.begin(), contents.end());
  EXPECT_TRUE(received == contents);
}

}  // namespace
