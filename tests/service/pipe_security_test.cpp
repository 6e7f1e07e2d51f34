// The pipe's security descriptor, read back from a running service: clients
// may connect, write and read, and nothing more.
#include "tests/service/service_harness.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <set>

namespace {

constexpr DWORD CreatePipeInstance = FILE_CREATE_PIPE_INSTANCE;  // FILE_APPEND_DATA
constexpr DWORD Forbidden = CreatePipeInstance | WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL |
                            GENERIC_WRITE | FILE_DELETE_CHILD | ACCESS_SYSTEM_SECURITY;
constexpr DWORD Needed = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return "?";
  std::string result;
  for (const wchar_t* c = text; *c != 0; ++c) result.push_back(static_cast<char>(*c));
  LocalFree(text);
  return result;
}

// The account this test runs as, which is the service's too.
std::string OwnSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "?";
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  return got ? SidText(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid) : "?";
}

TEST(PipeSecurityTest, OnlyTheServicesAccountMayCreateInstancesOrChangeTheDescriptor) {
  ReferenceService service;
  ASSERT_TRUE(service.Start({}));
  // A client handle that may read the descriptor, as any client may.
  UniqueFileHandle pipe(CreateFileW(L"\\\\.\\pipe\\KestrovAmsi", READ_CONTROL | FILE_READ_DATA,
                                    0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(pipe) << GetLastError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr) << "no DACL: everyone may do everything";

  // Full rights for the system and the account the service runs as; every
  // other entry allows connecting, writing and reading only.
  const std::set<std::string> privileged = {"S-1-5-18", OwnSid()};
  std::set<std::string> clients;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    ASSERT_EQ(header->AceType, ACCESS_ALLOWED_ACE_TYPE) << "entry " << i;
    auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
    const std::string sid = SidText(&ace->SidStart);
    SCOPED_TRACE("entry for " + sid);
    if (privileged.count(sid)) continue;
    clients.insert(sid);
    EXPECT_EQ(ace->Mask & Forbidden, 0u) << std::hex << ace->Mask;
    EXPECT_EQ(ace->Mask & Needed, Needed) << std::hex << ace->Mask;
  }
  // Everyone and every app container are clients.
  EXPECT_EQ(clients, (std::set<std::string>{"S-1-1-0", "S-1-15-2-1"}));
  LocalFree(descriptor);

  // The mandatory label lets low-integrity processes write.
  descriptor = nullptr;
  PACL sacl = nullptr;
  if (GetSecurityInfo(pipe.get(), SE_KERNEL_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, &sacl, &descriptor) == ERROR_SUCCESS &&
      sacl != nullptr && sacl->AceCount > 0) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(sacl, 0, reinterpret_cast<void**>(&header)));
    ASSERT_EQ(header->AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    auto* label = reinterpret_cast<SYSTEM_MANDATORY_LABEL_ACE*>(header);
    EXPECT_EQ(SidText(&label->SidStart), "S-1-16-4096");  // low
    EXPECT_EQ(label->Mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
  }
  LocalFree(descriptor);
}

}  // namespace
