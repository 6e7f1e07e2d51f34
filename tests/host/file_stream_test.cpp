#include "host/file_stream.h"

#include "testkit/fake_amsi_stream.h"
#include "testkit/request_bytes.h"
#include "testkit/test_service.h"

#include <unknwn.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr BYTE Untouched = 0xCC;

template <typename T>
std::vector<BYTE> BytesOf(const T& value) {
  std::vector<BYTE> bytes(sizeof value);
  memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

std::vector<BYTE> NameBytes(const std::wstring& name) {
  std::vector<BYTE> bytes = Utf16Bytes(name);
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

class FileStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::vector<BYTE> bytes = PatternBytes(ContentBytes);
    ASSERT_EQ(content.Assign(bytes.data(), bytes.size()), S_OK);
    settings.content = &content;
    settings.appName = appName.c_str();
    settings.contentName = contentName.c_str();
    settings.session = 0x1122334455667788ull;
  }
  void TearDown() override {
    if (stream != nullptr) {
      EXPECT_EQ(stream->lpVtbl->Release(stream), 0u);
    }
  }

  IAmsiStream* Open(bool offerAddress = true) {
    settings.offerAddress = offerAddress;
    if (stream != nullptr) stream->lpVtbl->Release(stream);
    stream = nullptr;
    EXPECT_EQ(CreateFileStream(settings, &stream), S_OK);
    return stream;
  }

  // What every answered attribute should return, from the settings.
  struct Expected {
    const char* name;
    AMSI_ATTRIBUTE attribute;
    std::vector<BYTE> bytes;
  };
  std::vector<Expected> Answered() const {
    return {{"app name", AMSI_ATTRIBUTE_APP_NAME, NameBytes(appName)},
            {"content name", AMSI_ATTRIBUTE_CONTENT_NAME, NameBytes(contentName)},
            {"content size", AMSI_ATTRIBUTE_CONTENT_SIZE, BytesOf(content.size())},
            {"content address", AMSI_ATTRIBUTE_CONTENT_ADDRESS, BytesOf(content.data())},
            {"session", AMSI_ATTRIBUTE_SESSION, BytesOf(settings.session)}};
  }

  static constexpr size_t ContentBytes = 1000;
  const std::wstring appName = L"Build Runner \x00e9";
  const std::wstring contentName = L"C:\\scans\\sample.ps1";
  ScanContent content;
  FileStreamSettings settings;
  IAmsiStream* stream = nullptr;
};

TEST_F(FileStreamTest, AnsweredAttributesCopyTheirValueAndReportItsSize) {
  IAmsiStream* s = Open();
  for (const Expected& e : Answered()) {
    std::vector<BYTE> buffer(256, Untouched);
    ULONG returned = 12345;
    EXPECT_EQ(s->lpVtbl->GetAttribute(s, e.attribute, static_cast<ULONG>(buffer.size()),
                                      buffer.data(), &returned),
              S_OK)
        << e.name;
    EXPECT_EQ(returned, e.bytes.size()) << e.name;
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + e.bytes.size()), e.bytes)
        << e.name;
    EXPECT_EQ(buffer[e.bytes.size()], Untouched) << e.name << ": wrote past its value";
  }
}

TEST_F(FileStreamTest, NumericAttributesHaveTheirFixedSizes) {
  IAmsiStream* s = Open();
  ULONGLONG size = 0;
  ULONG returned = 0;
  ASSERT_EQ(s->lpVtbl->GetAttribute(s, AMSI_ATTRIBUTE_CONTENT_SIZE, sizeof size,
                                    reinterpret_cast<BYTE*>(&size), &returned),
            S_OK);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(size, ContentBytes);
  const BYTE* address = nullptr;
  ASSERT_EQ(s->lpVtbl->GetAttribute(s, AMSI_ATTRIBUTE_CONTENT_ADDRESS, sizeof address,
                                    reinterpret_cast<BYTE*>(&address), &returned),
            S_OK);
  EXPECT_EQ(returned, sizeof(void*));
  EXPECT_EQ(address, content.data());
}

TEST_F(FileStreamTest, UnansweredAttributesAreNotImplementedAndWriteNothing) {
  struct Case {
    const char* name;
    AMSI_ATTRIBUTE attribute;
    bool offerAddress;
  };
  const Case cases[] = {
      {"address with --no-address", AMSI_ATTRIBUTE_CONTENT_ADDRESS, false},
      {"redirect chain size", AMSI_ATTRIBUTE_REDIRECT_CHAIN_SIZE, true},
      {"redirect chain address", AMSI_ATTRIBUTE_REDIRECT_CHAIN_ADDRESS, true},
      {"all size", AMSI_ATTRIBUTE_ALL_SIZE, true},
      {"all address", AMSI_ATTRIBUTE_ALL_ADDRESS, true},
      {"quiet", AMSI_ATTRIBUTE_QUIET, true},
      {"beyond the enumeration", static_cast<AMSI_ATTRIBUTE>(10), true},
      {"negative", static_cast<AMSI_ATTRIBUTE>(-1), true},
  };
  for (const Case& c : cases) {
    IAmsiStream* s = Open(c.offerAddress);
    std::vector<BYTE> buffer(64, Untouched);
    ULONG returned = 12345;
    EXPECT_EQ(s->lpVtbl->GetAttribute(s, c.attribute, static_cast<ULONG>(buffer.size()),
                                      buffer.data(), &returned),
              E_NOTIMPL)
        << c.name;
    EXPECT_EQ(returned, 0u) << c.name;
    EXPECT_EQ(buffer, std::vector<BYTE>(64, Untouched)) << c.name;
  }
}

TEST_F(FileStreamTest, WithoutAddressTheOtherAttributesStillAnswer) {
  IAmsiStream* s = Open(false);
  for (const Expected& e : Answered()) {
    if (e.attribute == AMSI_ATTRIBUTE_CONTENT_ADDRESS) continue;
    std::vector<BYTE> buffer(256, Untouched);
    ULONG returned = 0;
    EXPECT_EQ(s->lpVtbl->GetAttribute(s, e.attribute, static_cast<ULONG>(buffer.size()),
                                      buffer.data(), &returned),
              S_OK)
        << e.name;
    EXPECT_EQ(std::vector<BYTE>(buffer.begin(), buffer.begin() + returned), e.bytes) << e.name;
  }
}

TEST_F(FileStreamTest, TooSmallBufferReportsTheNeededSizeAndWritesNothing) {
  IAmsiStream* s = Open();
  for (const Expected& e : Answered()) {
    const ULONG needed = static_cast<ULONG>(e.bytes.size());
    for (const ULONG dataSize : {ULONG{0}, ULONG{1}, needed - 1}) {
      std::vector<BYTE> buffer(256, Untouched);
      ULONG returned = 0;
      EXPECT_EQ(s->lpVtbl->GetAttribute(s, e.attribute, dataSize, buffer.data(), &returned),
                E_NOT_SUFFICIENT_BUFFER)
          << e.name << " with " << dataSize << " bytes";
      EXPECT_EQ(returned, needed) << e.name << " with " << dataSize << " bytes";
      EXPECT_EQ(buffer, std::vector<BYTE>(256, Untouched)) << e.name;
    }
  }
}

TEST_F(FileStreamTest, ReadCopiesFromThePositionUpToTheEnd) {
  struct Case {
    ULONGLONG position;
    ULONG size;
  };
  const Case cases[] = {{0, ContentBytes},       {0, 10},   {1, 999},  {500, 100},
                        {990, 100},              {0, 5000}, {999, 1},  {500, 0},
                        {ContentBytes, 10},      {ContentBytes + 1, 10},
                        {0xFFFFFFFFFFFFull, 10}};
  IAmsiStream* s = Open(false);
  for (const Case& c : cases) {
    const ULONGLONG left = c.position < ContentBytes ? ContentBytes - c.position : 0;
    const size_t expected = static_cast<size_t>(left < c.size ? left : c.size);
    std::vector<BYTE> buffer(c.size + 16, Untouched);
    ULONG readSize = 12345;
    EXPECT_EQ(s->lpVtbl->Read(s, c.position, c.size, buffer.data(), &readSize), S_OK)
        << "at " << c.position << ", " << c.size << " bytes";
    ASSERT_EQ(readSize, expected) << "at " << c.position << ", " << c.size << " bytes";
    if (expected > 0) {
      EXPECT_EQ(memcmp(buffer.data(), content.data() + c.position, expected), 0)
          << "at " << c.position;
    }
    EXPECT_EQ(buffer[expected], Untouched) << "at " << c.position << ": wrote past the copy";
  }
}

TEST_F(FileStreamTest, ServesUnknownAndStreamInterfacesWithAReference) {
  struct Case {
    const char* name;
    IID interfaceId;
    bool served;
  };
  const Case cases[] = {{"IUnknown", IID_IUnknown, true},
                        {"IAmsiStream", IID_IAmsiStream, true},
                        {"IAntimalwareProvider", IID_IAntimalwareProvider, false},
                        {"IClassFactory", IID_IClassFactory, false}};
  IAmsiStream* s = Open();
  for (const Case& c : cases) {
    void* object = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(s->lpVtbl->QueryInterface(s, c.interfaceId, &object),
              c.served ? S_OK : E_NOINTERFACE)
        << c.name;
    EXPECT_EQ(object, c.served ? static_cast<void*>(s) : nullptr) << c.name;
    // The served reference is the second one; releasing it leaves the first.
    if (c.served) {
      EXPECT_EQ(s->lpVtbl->Release(s), 1u) << c.name;
    }
  }
  EXPECT_EQ(s->lpVtbl->AddRef(s), 2u);
  EXPECT_EQ(s->lpVtbl->Release(s), 1u);
}

TEST_F(FileStreamTest, StreamsOverTheSameContentAreIndependent) {
  IAmsiStream* first = nullptr;
  IAmsiStream* second = nullptr;
  ASSERT_EQ(CreateFileStream(settings, &first), S_OK);
  ASSERT_EQ(CreateFileStream(settings, &second), S_OK);
  EXPECT_NE(first, second);
  EXPECT_EQ(first->lpVtbl->Release(first), 0u);
  BYTE byte = 0;
  ULONG readSize = 0;
  EXPECT_EQ(second->lpVtbl->Read(second, 7, 1, &byte, &readSize), S_OK);
  EXPECT_EQ(readSize, 1u);
  EXPECT_EQ(byte, content.data()[7]);
  EXPECT_EQ(second->lpVtbl->Release(second), 0u);
}

class ScanContentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    directory = std::wstring(temp) + L"amsiscan-content-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(directory.c_str(), nullptr);
  }
  void TearDown() override { RemoveTestDirectory(directory); }

  std::wstring WriteFile(const std::vector<BYTE>& bytes) {
    const std::wstring path = directory + L"\\content.bin";
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    if (!bytes.empty()) {
      EXPECT_TRUE(::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                              nullptr));
    }
    CloseHandle(file);
    return path;
  }

  static bool Holds(const ScanContent& content, const std::vector<BYTE>& bytes) {
    return content.size() == bytes.size() && content.data() != nullptr &&
           (bytes.empty() || memcmp(content.data(), bytes.data(), bytes.size()) == 0);
  }

  std::wstring directory;
};

// Sizes around the one-read chunk of 1 MiB and beyond what a provider sends.
const size_t ContentSizes[] = {0, 1, 4096, (1u << 20) - 1, 1u << 20, (1u << 20) + 1,
                               9u << 20};

TEST_F(ScanContentTest, LoadFileHoldsTheWholeFile) {
  for (const size_t size : ContentSizes) {
    const std::vector<BYTE> bytes = PatternBytes(size, static_cast<unsigned>(size));
    ScanContent content;
    EXPECT_EQ(content.LoadFile(WriteFile(bytes).c_str()), S_OK) << size;
    EXPECT_TRUE(Holds(content, bytes)) << size << " bytes";
  }
}

TEST_F(ScanContentTest, LoadHandleReadsAPipeToItsEnd) {
  for (const size_t size : ContentSizes) {
    const std::vector<BYTE> bytes = PatternBytes(size, static_cast<unsigned>(size) + 7);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    // Written in uneven pieces, so that reads end short of the chunk.
    std::thread writer([&] {
      size_t at = 0;
      while (at < bytes.size()) {
        const size_t piece = std::min<size_t>(bytes.size() - at, 70001);
        DWORD written = 0;
        if (!::WriteFile(writeEnd, bytes.data() + at, static_cast<DWORD>(piece), &written,
                         nullptr)) {
          break;
        }
        at += written;
      }
      CloseHandle(writeEnd);
    });
    ScanContent content;
    EXPECT_EQ(content.LoadHandle(readEnd), S_OK) << size;
    writer.join();
    CloseHandle(readEnd);
    EXPECT_TRUE(Holds(content, bytes)) << size << " bytes";
  }
}

TEST_F(ScanContentTest, MissingFileFailsWithItsErrorAndHoldsNothing) {
  ScanContent content;
  const std::vector<BYTE> before = PatternBytes(100);
  ASSERT_EQ(content.Assign(before.data(), before.size()), S_OK);
  EXPECT_EQ(content.LoadFile((directory + L"\\absent.bin").c_str()),
            HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(content.size(), 0u);
}

}  // namespace
