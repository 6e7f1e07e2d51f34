#include "service/pipe_security.h"

#include <sddl.h>

#include <string>

std::wstring OwnAccountSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return std::wstring();
  BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size);
  CloseHandle(token);
  wchar_t* text = nullptr;
  if (!got || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
    return std::wstring();
  }
  std::wstring sid = text;
  LocalFree(text);
  return sid;
}

PipeSecurity::~PipeSecurity() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

bool PipeSecurity::Create(DWORD* error) {
  // SY: the system; then the account the service runs as; WD: everyone;
  // AC: every app container. No inheritance (P).
  const std::wstring account = OwnAccountSid();
  if (account.empty()) {
    *error = GetLastError();
    return false;
  }
  wchar_t client[16];
  wsprintfW(client, L"0x%x", PipeClientAccess);
  const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;GA;;;" + account + L")(A;;" + client +
                            L";;;WD)(A;;" + client + L";;;AC)S:(ML;;NW;;;LW)";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor_, nullptr)) {
    *error = GetLastError();
    return false;
  }
  attributes_ = {sizeof attributes_, descriptor_, FALSE};
  return true;
}
