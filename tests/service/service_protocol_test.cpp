// The pipe protocol as the service serves it: malformed and cut-off
// requests, stalled clients, and how many clients it serves at once.
#include "tests/service/service_harness.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr uint32_t GoodProcessId = 1111;
constexpr uint32_t BadProcessId = 2222;

// A request the service answers with "detected".
ScanRequest DetectedRequest(uint32_t processId = GoodProcessId) {
  ScanRequest request;
  request.processId = processId;
  request.appName = Utf16(std::string("app"));
  request.contentName = Utf16(std::string("file"));
  request.content = AsBytes("Write-Host '" + EicarText() + "'");
  return request;
}

ScanRequest CleanRequest(uint32_t processId = GoodProcessId) {
  ScanRequest request;
  request.processId = processId;
  request.content = AsBytes("Get-ChildItem | Sort-Object Length");
  return request;
}

// The pids of the scans the log shows, once it shows at least `count`.
std::vector<std::string> LoggedPids(ReferenceService& service, size_t count) {
  std::vector<std::string> pids;
  for (const std::string& line :
       WaitForLogLines([&] { return ReadTextFile(service.PathOf(L"log.txt")); }, count)) {
    std::map<std::string, JsonValue> object;
    EXPECT_TRUE(ParseFlatJson(line, &object)) << line;
    pids.push_back(object["pid"].text);
  }
  return pids;
}

struct MalformedCase {
  const char* name;
  RequestHeader header;
};
// Test names say which case failed; the bytes of the case would not.
void PrintTo(const MalformedCase& c, std::ostream* out) { *out << c.name; }

RequestHeader GoodHeader() {
  RequestHeader header;
  header.processId = BadProcessId;
  header.appNameBytes = 4;
  header.contentNameBytes = 4;
  header.contentBytes = 16;
  return header;
}

template <typename Change>
MalformedCase Malformed(const char* name, Change change) {
  MalformedCase c{name, GoodHeader()};
  change(&c.header);
  return c;
}

const MalformedCase MalformedCases[] = {
    Malformed("BadMagic", [](RequestHeader* h) { h->magic = 0x5453454C; }),
    Malformed("MagicBigEndian", [](RequestHeader* h) { h->magic = 0x4B455354; }),
    Malformed("VersionZero", [](RequestHeader* h) { h->version = 0; }),
    Malformed("VersionTwo", [](RequestHeader* h) { h->version = 2; }),
    Malformed("OddAppName", [](RequestHeader* h) { h->appNameBytes = 3; }),
    Malformed("OddContentName", [](RequestHeader* h) { h->contentNameBytes = 5; }),
    Malformed("AppNameAbove1024", [](RequestHeader* h) { h->appNameBytes = 1026; }),
    Malformed("ContentNameAbove1024", [](RequestHeader* h) { h->contentNameBytes = 1026; }),
    Malformed("ContentZero", [](RequestHeader* h) { h->contentBytes = 0; }),
    Malformed("ContentAbove8MiB", [](RequestHeader* h) { h->contentBytes = RequestMaxContentBytes + 1; }),
    Malformed("ContentAllOnes", [](RequestHeader* h) { h->contentBytes = 0xFFFFFFFF; }),
    Malformed("TruncatedTwo", [](RequestHeader* h) { h->truncated = 2; }),
};

class MalformedRequestTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedRequestTest, IsDroppedWithoutVerdictAndHarmsNoOtherConnection) {
  ReferenceService service;
  // A connection limit far beyond the client's wait: a drop can only come
  // from the check of the header.
  ASSERT_TRUE(service.Start({L"--connection-timeout-ms", L"120000", L"--log",
                             service.PathOf(L"log.txt")}));

  // A good client in the middle of its request while the bad one is dropped.
  const ScanRequest good = DetectedRequest();
  const std::vector<Bytes> pieces = RequestPieces(good);
  PipeClient busy;
  ASSERT_TRUE(busy.Connect());
  ASSERT_TRUE(busy.Write(pieces[0]));

  PipeClient bad;
  ASSERT_TRUE(bad.Connect());
  ASSERT_TRUE(bad.Write(EncodeHeader(GetParam().header)));
  // What a client would send next; the service may already have dropped it.
  bad.Write(Bytes(24, 'x'), 2000);
  const PipeClient::ReadResult reply = bad.Read(4);
  EXPECT_TRUE(reply.ended) << "the service kept the connection";
  EXPECT_TRUE(reply.bytes.empty()) << "the service answered a malformed request";

  for (size_t i = 1; i < pieces.size(); ++i) ASSERT_TRUE(busy.Write(pieces[i]));
  EXPECT_EQ(Bytes({1, 0, 0, 0}), busy.Read(4).bytes);
  busy.Close();
  EXPECT_EQ(0, Scan(CleanRequest()));

  // Only the two answered scans are logged; the dropped one is not.
  const std::vector<std::string> pids = LoggedPids(service, 2);
  EXPECT_EQ(std::vector<std::string>(2, std::to_string(GoodProcessId)), pids);
}

INSTANTIATE_TEST_SUITE_P(Headers, MalformedRequestTest, ::testing::ValuesIn(MalformedCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Offsets into a 110-byte request: 28 header, 6 app name, 8 content name,
// 68 content.
struct CutOffCase {
  const char* name;
  size_t sentBytes;
};
void PrintTo(const CutOffCase& c, std::ostream* out) { *out << c.name; }
const CutOffCase CutOffCases[] = {
    {"Nothing", 0},         {"OneByte", 1},        {"HeaderLessOne", 27},
    {"HeaderOnly", 28},     {"InAppName", 31},     {"AfterNames", 42},
    {"InContent", 76},      {"ContentLessOne", 109},
};

enum class CutOffEnd { ClientCloses, ClientStalls };

class CutOffRequestTest
    : public ::testing::TestWithParam<std::tuple<CutOffCase, CutOffEnd>> {};

TEST_P(CutOffRequestTest, IsDroppedWithoutVerdictAndTheServiceServesOn) {
  const CutOffCase cut = std::get<0>(GetParam());
  const bool stalls = std::get<1>(GetParam()) == CutOffEnd::ClientStalls;
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--connection-timeout-ms", L"500", L"--log",
                             service.PathOf(L"log.txt")}));

  ScanRequest request = DetectedRequest(BadProcessId);
  request.appName = Utf16(std::string("abc"));
  request.contentName = Utf16(std::string("name"));
  request.content = AsBytes(EicarText());
  const Bytes whole = RequestBytes(request);
  ASSERT_EQ(110u, whole.size());

  PipeClient cut_client;
  ASSERT_TRUE(cut_client.Connect());
  if (cut.sentBytes > 0) {
    ASSERT_TRUE(cut_client.Write(Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut.sentBytes))));
  }
  if (stalls) {
    // The service's connection limit (500 ms) ends the stalled request.
    const PipeClient::ReadResult reply = cut_client.Read(4);
    EXPECT_TRUE(reply.ended) << "the stalled connection was never dropped";
    EXPECT_TRUE(reply.bytes.empty()) << "the service answered a cut-off request";
  }
  cut_client.Close();

  EXPECT_EQ(1, Scan(DetectedRequest()));
  EXPECT_EQ(0, Scan(CleanRequest()));
  EXPECT_EQ(std::vector<std::string>(2, std::to_string(GoodProcessId)), LoggedPids(service, 2));
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, CutOffRequestTest,
    ::testing::Combine(::testing::ValuesIn(CutOffCases),
                       ::testing::Values(CutOffEnd::ClientCloses, CutOffEnd::ClientStalls)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) +
             (std::get<1>(info.param) == CutOffEnd::ClientStalls ? "_Stalls" : "_Closes");
    });

// Half a header, then nothing: the client that stalls.
Bytes HalfHeader() {
  const Bytes header = RequestPieces(DetectedRequest())[0];
  return Bytes(header.begin(), header.begin() + 14);
}

TEST(StalledClientTest, DoesNotHoldUpOtherClients) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--connection-timeout-ms", L"120000"}));
  PipeClient stalled;
  ASSERT_TRUE(stalled.Connect());
  ASSERT_TRUE(stalled.Write(HalfHeader()));

  EXPECT_EQ(1, Scan(DetectedRequest()));
  EXPECT_EQ(0, Scan(CleanRequest()));

  // The stalled client itself is still served once it goes on.
  const Bytes whole = RequestBytes(DetectedRequest());
  ASSERT_TRUE(stalled.Write(Bytes(whole.begin() + 14, whole.end())));
  EXPECT_EQ(Bytes({1, 0, 0, 0}), stalled.Read(4).bytes);
}

TEST(StalledClientTest, IsDroppedAtTheConnectionLimitFreeingItsInstance) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--instances", L"1", L"--connection-timeout-ms", L"500"}));
  PipeClient stalled;
  ASSERT_TRUE(stalled.Connect());
  ASSERT_TRUE(stalled.Write(HalfHeader()));

  // The only instance is held until the service drops the stalled client;
  // Scan waits for it.
  EXPECT_EQ(1, Scan(DetectedRequest()));
  const PipeClient::ReadResult reply = stalled.Read(4);
  EXPECT_TRUE(reply.ended);
  EXPECT_TRUE(reply.bytes.empty());
}

struct InstanceCase {
  const char* name;
  std::vector<std::wstring> arguments;
  size_t instances;
};
void PrintTo(const InstanceCase& c, std::ostream* out) { *out << c.name; }

class InstanceCountTest : public ::testing::TestWithParam<InstanceCase> {};

TEST_P(InstanceCountTest, ServesThatManyClientsAtOnceAndNoMore) {
  ReferenceService service;
  ASSERT_TRUE(service.Start(GetParam().arguments));
  const size_t count = GetParam().instances;
  std::vector<std::unique_ptr<PipeClient>> clients;
  for (size_t i = 0; i < count; ++i) {
    clients.push_back(std::make_unique<PipeClient>());
    ASSERT_TRUE(clients.back()->Connect()) << "client " << i;
    ASSERT_TRUE(clients.back()->Write(HalfHeader())) << "client " << i;
  }
  PipeClient extra;
  EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), extra.TryConnect());

  const Bytes whole = RequestBytes(DetectedRequest());
  for (auto& client : clients) ASSERT_TRUE(client->Write(Bytes(whole.begin() + 14, whole.end())));
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(Bytes({1, 0, 0, 0}), clients[i]->Read(4).bytes) << "client " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, InstanceCountTest,
    ::testing::Values(InstanceCase{"Default", {}, 128},
                      InstanceCase{"One", {L"--instances", L"1"}, 1},
                      InstanceCase{"Five", {L"--instances", L"5"}, 5}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr int ScansPerThread = 3;

struct ScanWork {
  int index;
  int wrong;  // scans whose verdict was not the expected one
};

// Alternates detected and clean scans, each thread starting differently.
DWORD WINAPI RunScans(void* parameter) {
  ScanWork* work = static_cast<ScanWork*>(parameter);
  for (int k = 0; k < ScansPerThread; ++k) {
    const bool detect = (work->index + k) % 2 == 0;
    if (Scan(detect ? DetectedRequest() : CleanRequest()) != (detect ? 1 : 0)) ++work->wrong;
  }
  return 0;
}

TEST(ConcurrentScansTest, EveryClientGetsItsOwnVerdict) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({L"--log", service.PathOf(L"log.txt")}));
  constexpr int Threads = 24;
  std::vector<ScanWork> work(Threads);
  std::vector<HANDLE> threads;
  for (int i = 0; i < Threads; ++i) {
    work[static_cast<size_t>(i)] = {i, 0};
    threads.push_back(CreateThread(nullptr, 0, RunScans, &work[static_cast<size_t>(i)], 0, nullptr));
    ASSERT_NE(nullptr, threads.back());
  }
  for (HANDLE thread : threads) {
    // Bounded against a service that stops answering.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
    CloseHandle(thread);
  }
  for (const ScanWork& w : work) EXPECT_EQ(0, w.wrong) << "thread " << w.index;
  EXPECT_EQ(static_cast<size_t>(Threads * ScansPerThread),
            LoggedPids(service, Threads * ScansPerThread).size());
}

}  // namespace
