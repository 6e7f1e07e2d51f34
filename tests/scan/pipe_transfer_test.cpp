#include "scan/pipe_transfer.h"

#include "tests/scan/overlapped_pipe.h"
#include "tests/support/patching_test.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

// What the hooks saw and how they behave. Hooks act only on the client end
// under test (`hookedPipe`) or on the transfer's event; every other call,
// such as the test's own server-side I/O, goes to the real function.
struct HookState {
  HANDLE hookedPipe = nullptr;

  decltype(&GetTickCount64) realGetTickCount64 = nullptr;
  std::vector<ULONGLONG> ticks;  // returned in turn; the last one repeats
  size_t tickCalls = 0;

  decltype(&CreateEventW) realCreateEventW = nullptr;
  bool failCreateEvent = false;
  std::vector<HANDLE> eventsCreated;

  decltype(&CloseHandle) realCloseHandle = nullptr;
  std::vector<HANDLE> handlesClosed;

  decltype(&WriteFile) realWriteFile = nullptr;
  decltype(&ReadFile) realReadFile = nullptr;
  DWORD firstRequestCap = 0;  // 0: pass the count unchanged
  struct Request {
    const void* buffer;
    DWORD count;
  };
  std::vector<Request> requests;

  decltype(&WaitForSingleObject) realWaitForSingleObject = nullptr;
  std::vector<DWORD> waitTimeouts;

  decltype(&CancelIoEx) realCancelIoEx = nullptr;
  decltype(&GetOverlappedResult) realGetOverlappedResult = nullptr;
  bool reportZeroBytes = false;
  std::vector<std::string> ioEvents;  // "cancel", "result(wait)", "result(nowait)"
  DWORD lastErrorAfterWaitingResult = 0;
};
HookState gHooks;

bool IsTransferEvent(HANDLE handle) {
  for (HANDLE event : gHooks.eventsCreated) {
    if (event == handle) return true;
  }
  return false;
}

ULONGLONG WINAPI ScriptedTickCount() {
  const size_t call = gHooks.tickCalls++;
  if (gHooks.ticks.empty()) return gHooks.realGetTickCount64();
  return gHooks.ticks[call < gHooks.ticks.size() ? call : gHooks.ticks.size() - 1];
}

HANDLE WINAPI RecordingCreateEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                   BOOL initialState, LPCWSTR name) {
  if (gHooks.failCreateEvent) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const HANDLE event = gHooks.realCreateEventW(attributes, manualReset, initialState, name);
  gHooks.eventsCreated.push_back(event);
  return event;
}

BOOL WINAPI RecordingCloseHandle(HANDLE handle) {
  gHooks.handlesClosed.push_back(handle);
  return gHooks.realCloseHandle(handle);
}

DWORD Capped(DWORD count) {
  if (gHooks.requests.size() == 1 && gHooks.firstRequestCap != 0 && count > gHooks.firstRequestCap) {
    return gHooks.firstRequestCap;
  }
  return count;
}

BOOL WINAPI PartialWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                             LPOVERLAPPED overlapped) {
  if (file != gHooks.hookedPipe) return gHooks.realWriteFile(file, buffer, count, written, overlapped);
  gHooks.requests.push_back({buffer, count});
  return gHooks.realWriteFile(file, buffer, Capped(count), written, overlapped);
}

BOOL WINAPI PartialReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD read,
                            LPOVERLAPPED overlapped) {
  if (file != gHooks.hookedPipe) return gHooks.realReadFile(file, buffer, count, read, overlapped);
  gHooks.requests.push_back({buffer, count});
  return gHooks.realReadFile(file, buffer, Capped(count), read, overlapped);
}

DWORD WINAPI RecordingWait(HANDLE handle, DWORD timeout) {
  if (IsTransferEvent(handle)) gHooks.waitTimeouts.push_back(timeout);
  return gHooks.realWaitForSingleObject(handle, timeout);
}

BOOL WINAPI RecordingCancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  if (file == gHooks.hookedPipe) gHooks.ioEvents.push_back("cancel");
  return gHooks.realCancelIoEx(file, overlapped);
}

BOOL WINAPI RecordingGetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD count,
                                         BOOL wait) {
  const BOOL result = gHooks.realGetOverlappedResult(file, overlapped, count, wait);
  if (file == gHooks.hookedPipe) {
    gHooks.ioEvents.push_back(wait ? "result(wait)" : "result(nowait)");
    if (wait) gHooks.lastErrorAfterWaitingResult = result ? 0 : GetLastError();
    if (gHooks.reportZeroBytes && result) *count = 0;
  }
  return result;
}

class PipeTransferTest : public PatchingTest {
 protected:
  void SetUp() override {
    gHooks = HookState();
    ASSERT_TRUE(MakePipePair(&pipes));
    gHooks.hookedPipe = pipes.client.get();
    gHooks.realGetTickCount64 = Patch("kernel32.dll", "GetTickCount64", &ScriptedTickCount);
    gHooks.realCreateEventW = Patch("kernel32.dll", "CreateEventW", &RecordingCreateEvent);
    gHooks.realCloseHandle = Patch("kernel32.dll", "CloseHandle", &RecordingCloseHandle);
    gHooks.realWriteFile = Patch("kernel32.dll", "WriteFile", &PartialWriteFile);
    gHooks.realReadFile = Patch("kernel32.dll", "ReadFile", &PartialReadFile);
    gHooks.realWaitForSingleObject =
        Patch("kernel32.dll", "WaitForSingleObject", &RecordingWait);
    gHooks.realCancelIoEx = Patch("kernel32.dll", "CancelIoEx", &RecordingCancelIoEx);
    gHooks.realGetOverlappedResult =
        Patch("kernel32.dll", "GetOverlappedResult", &RecordingGetOverlappedResult);
  }

  // The one event of the call was created and closed again.
  void ExpectEventCreatedAndClosed() {
    ASSERT_EQ(gHooks.eventsCreated.size(), 1u);
    ASSERT_NE(gHooks.eventsCreated[0], nullptr);
    size_t closes = 0;
    for (HANDLE handle : gHooks.handlesClosed) closes += handle == gHooks.eventsCreated[0] ? 1 : 0;
    EXPECT_EQ(closes, 1u);
  }

  // A deadline comfortably ahead of the real clock.
  static ULONGLONG Soon(ULONGLONG ms = 1500) { return GetTickCount64() + ms; }

  PipePair pipes;
};

TEST_F(PipeTransferTest, ZeroCountSucceedsWithoutIoOrClock) {
  for (TransferDirection direction : {TransferDirection::Write, TransferDirection::Read}) {
    gHooks.eventsCreated.clear();
    gHooks.handlesClosed.clear();
    gHooks.tickCalls = 0;
    BYTE byte = 0x5A;
    EXPECT_TRUE(TransferWithDeadline(pipes.client.get(), direction, &byte, 0, 0));
    EXPECT_EQ(gHooks.tickCalls, 0u);
    EXPECT_TRUE(gHooks.requests.empty());
    ExpectEventCreatedAndClosed();
  }
}

TEST_F(PipeTransferTest, NoEventMeansFailureEvenForZeroBytes) {
  gHooks.failCreateEvent = true;
  BYTE bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, bytes, 0, Soon()));
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, bytes, 8, Soon()));
  EXPECT_TRUE(gHooks.requests.empty());
  RestorePatches();
  EXPECT_EQ(ServerBytesWaiting(pipes.server.get()), 0u);
}

TEST_F(PipeTransferTest, RequestIssuedOnlyWhileClockIsBeforeDeadline) {
  struct Case {
    ULONGLONG now;
    ULONGLONG deadline;
    bool issued;
  };
  const Case cases[] = {
      {5000, 4000, false},  // long past
      {5000, 4999, false},  // just past
      {5000, 5000, false},  // reading equal to the deadline
      {5000, 5001, true},   // one millisecond left
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "now " << c.now << ", deadline " << c.deadline);
    gHooks.ticks = {c.now};
    gHooks.tickCalls = 0;
    gHooks.requests.clear();
    BYTE bytes[4] = {9, 8, 7, 6};
    EXPECT_EQ(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, bytes, 4,
                                   c.deadline),
              c.issued);
    EXPECT_EQ(gHooks.requests.size(), c.issued ? 1u : 0u);
  }
  RestorePatches();
  EXPECT_EQ(ServerBytesWaiting(pipes.server.get()), 4u);  // only the last case wrote
}

TEST_F(PipeTransferTest, PartialWriteIsFollowedByRequestForTheRest) {
  std::vector<BYTE> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  gHooks.firstRequestCap = 400;
  gHooks.ticks = {1000, 1100};
  EXPECT_TRUE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, data.data(),
                                   1000, 1500));
  ASSERT_EQ(gHooks.requests.size(), 2u);
  EXPECT_EQ(gHooks.requests[0].buffer, data.data());
  EXPECT_EQ(gHooks.requests[0].count, 1000u);
  EXPECT_EQ(gHooks.requests[1].buffer, data.data() + 400);
  EXPECT_EQ(gHooks.requests[1].count, 600u);
  // Each pass waits for what is left of the budget at its own clock reading.
  EXPECT_EQ(gHooks.waitTimeouts, (std::vector<DWORD>{500, 400}));
  ExpectEventCreatedAndClosed();
  RestorePatches();
  EXPECT_EQ(ServerRead(pipes.server.get(), 1000), data);
}

TEST_F(PipeTransferTest, PartialReadIsFollowedByRequestForTheRest) {
  const BYTE sent[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_TRUE(ServerWrite(pipes.server.get(), sent, sizeof sent));
  gHooks.firstRequestCap = 5;
  BYTE received[8] = {};
  EXPECT_TRUE(TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 8, Soon()));
  ASSERT_EQ(gHooks.requests.size(), 2u);
  EXPECT_EQ(gHooks.requests[1].buffer, received + 5);
  EXPECT_EQ(gHooks.requests[1].count, 3u);
  EXPECT_EQ(0, memcmp(sent, received, sizeof sent));
}

TEST_F(PipeTransferTest, VerdictArrivingInTwoPiecesIsReadInOrder) {
  std::thread server([&] {
    const BYTE first[3] = {0x11, 0x22, 0x33};
    const BYTE last = 0x44;
    ServerWrite(pipes.server.get(), first, 3);
    Sleep(100);
    ServerWrite(pipes.server.get(), &last, 1);
  });
  BYTE received[4] = {};
  const bool moved =
      TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 4, Soon());
  server.join();
  EXPECT_TRUE(moved);
  EXPECT_EQ(gHooks.requests.size(), 2u);
  const BYTE expected[4] = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(0, memcmp(expected, received, 4));
}

TEST_F(PipeTransferTest, SilentPeerEndsAtDeadlineAfterCancelledReadHasEnded) {
  BYTE received[4] = {0xde, 0xad, 0xbe, 0xef};
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 4,
                                    start + 300));
  const ULONGLONG elapsed = GetTickCount64() - start;
  EXPECT_GE(elapsed, 290u);
  EXPECT_LT(elapsed, 1300u);
  ASSERT_EQ(gHooks.waitTimeouts.size(), 1u);
  EXPECT_LE(gHooks.waitTimeouts[0], 300u);
  // Cancelled, then waited for: the request has ended, as cancelled.
  EXPECT_EQ(gHooks.ioEvents, (std::vector<std::string>{"cancel", "result(wait)"}));
  EXPECT_EQ(gHooks.lastErrorAfterWaitingResult, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  ExpectEventCreatedAndClosed();
  // Nothing is pending any more: a server write now stays in the pipe.
  RestorePatches();
  const BYTE late[4] = {1, 0, 0, 0};
  ASSERT_TRUE(ServerWrite(pipes.server.get(), late, 4));
  EXPECT_EQ(0, memcmp(received, "\xde\xad\xbe\xef", 4));
}

TEST_F(PipeTransferTest, PeerThatStopsReadingEndsWriteAtDeadline) {
  // Larger than the server's input buffer: the write stays pending.
  std::vector<BYTE> data(256 * 1024, 0x61);
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, data.data(),
                                    static_cast<DWORD>(data.size()), start + 250));
  EXPECT_GE(GetTickCount64() - start, 240u);
  EXPECT_EQ(gHooks.ioEvents, (std::vector<std::string>{"cancel", "result(wait)"}));
}

TEST_F(PipeTransferTest, WaitTimeoutKeepsLow32BitsOfRemainingTime) {
  gHooks.ticks = {1000};
  BYTE received[4];
  const ULONGLONG deadline = 1000 + (1ull << 32) + 200;
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 4,
                                    deadline));
  EXPECT_EQ(gHooks.waitTimeouts, (std::vector<DWORD>{200}));
}

TEST_F(PipeTransferTest, RequestCompletingWithZeroBytesFails) {
  const BYTE sent[4] = {1, 0, 0, 0};
  ASSERT_TRUE(ServerWrite(pipes.server.get(), sent, 4));
  gHooks.reportZeroBytes = true;
  BYTE received[4];
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 4, Soon()));
  EXPECT_EQ(gHooks.requests.size(), 1u);  // no second pass
  ExpectEventCreatedAndClosed();
}

TEST_F(PipeTransferTest, PeerGoneBeforeWriteFailsAtOnce) {
  pipes.server.reset();
  gHooks.handlesClosed.clear();  // the event may reuse the server's handle value
  BYTE bytes[4] = {1, 2, 3, 4};
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, bytes, 4, Soon()));
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_TRUE(gHooks.waitTimeouts.empty());
  ExpectEventCreatedAndClosed();
}

TEST_F(PipeTransferTest, PeerDisconnectingDuringPendingReadFails) {
  std::thread server([&] {
    Sleep(100);
    DisconnectNamedPipe(pipes.server.get());
  });
  BYTE received[4];
  const ULONGLONG start = GetTickCount64();
  const bool moved =
      TransferWithDeadline(pipes.client.get(), TransferDirection::Read, received, 4, Soon());
  server.join();
  EXPECT_FALSE(moved);
  EXPECT_LT(GetTickCount64() - start, 1000u);
  EXPECT_EQ(gHooks.ioEvents, (std::vector<std::string>{"result(nowait)"}));
}

TEST_F(PipeTransferTest, WholeRemainderAskedForInOneRequest) {
  // 8 MiB through a server that reads in small pieces: never split by the
  // transfer itself, only by partial completions.
  const DWORD size = 8 * 1024 * 1024;
  std::vector<BYTE> data(size);
  for (DWORD i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i ^ (i >> 8));
  std::vector<BYTE> received;
  std::thread server([&] { received = ServerRead(pipes.server.get(), size); });
  EXPECT_TRUE(TransferWithDeadline(pipes.client.get(), TransferDirection::Write, data.data(),
                                   size, Soon(10000)));
  server.join();
  ASSERT_FALSE(gHooks.requests.empty());
  DWORD previousOffset = 0;
  for (size_t i = 0; i < gHooks.requests.size(); ++i) {
    const DWORD offset = static_cast<DWORD>(
        static_cast<const BYTE*>(gHooks.requests[i].buffer) - data.data());
    if (i > 0) {
      EXPECT_GT(offset, previousOffset);
    }
    EXPECT_EQ(gHooks.requests[i].count, size - offset);
    previousOffset = offset;
  }
  EXPECT_EQ(gHooks.requests[0].count, size);
  EXPECT_TRUE(received == data);
}

}  // namespace
