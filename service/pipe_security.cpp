#include "service/pipe_security.h"

#include <sddl.h>

#include <string>

PipeSecurity::~PipeSecurity() {
  if (descriptor_ != nullptr) LocalFree(descriptor_);
}

bool PipeSecurity::Create(DWORD* error) {
  // SY: the system; OW: the owner, that is the account the service runs as;
  // WD: everyone; AC: every app container. No inheritance (P).
  wchar_t client[16];
  wsprintfW(client, L"0x%x", PipeClientAccess);
  const std::wstring sddl = std::wstring(L"D:P(A;;GA;;;SY)(A;;GA;;;OW)(A;;") + client +
                            L";;;WD)(A;;" + client + L";;;AC)S:(ML;;NW;;;LW)";
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor_, nullptr)) {
    *error = GetLastError();
    return false;
  }
  attributes_ = {sizeof attributes_, descriptor_, FALSE};
  return true;
}
