#include "host/signature_check.h"

#include "platform/unique_handle.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cwchar>

namespace {

constexpr wchar_t AmsiKey[] = L"SOFTWARE\\Microsoft\\AMSI";
constexpr wchar_t FeatureBitsValue[] = L"FeatureBits";

struct KnownStatus {
  HRESULT status;
  const wchar_t* name;
  const wchar_t* meaning;
};

constexpr KnownStatus KnownStatuses[] = {
    {TRUST_E_NOSIGNATURE, L"TRUST_E_NOSIGNATURE", L"the file is not signed"},
    {TRUST_E_BAD_DIGEST, L"TRUST_E_BAD_DIGEST", L"the file was changed after it was signed"},
    {TRUST_E_CERT_SIGNATURE, L"TRUST_E_CERT_SIGNATURE",
     L"a certificate's signature does not verify"},
    {TRUST_E_SUBJECT_NOT_TRUSTED, L"TRUST_E_SUBJECT_NOT_TRUSTED", L"the signer is not trusted"},
    {TRUST_E_EXPLICIT_DISTRUST, L"TRUST_E_EXPLICIT_DISTRUST", L"the signer is explicitly distrusted"},
    {TRUST_E_SUBJECT_FORM_UNKNOWN, L"TRUST_E_SUBJECT_FORM_UNKNOWN",
     L"the file is of a form that cannot be signed"},
    {TRUST_E_PROVIDER_UNKNOWN, L"TRUST_E_PROVIDER_UNKNOWN", L"no trust provider for the check"},
    {CERT_E_UNTRUSTEDROOT, L"CERT_E_UNTRUSTEDROOT",
     L"the signer's chain ends in a root that is not trusted"},
    {CERT_E_CHAINING, L"CERT_E_CHAINING", L"the signer's chain does not reach a root"},
    {CERT_E_EXPIRED, L"CERT_E_EXPIRED", L"a certificate of the signer's chain has expired"},
    {CERT_E_REVOKED, L"CERT_E_REVOKED", L"a certificate of the signer's chain is revoked"},
    {CERT_E_WRONG_USAGE, L"CERT_E_WRONG_USAGE", L"the signer is not for code signing"},
    {CRYPT_E_SECURITY_SETTINGS, L"CRYPT_E_SECURITY_SETTINGS",
     L"the machine's settings forbid the signer"},
};

std::wstring Describe(HRESULT status, const wchar_t* step) {
  wchar_t code[16];
  swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(status));
  for (const KnownStatus& known : KnownStatuses) {
    if (known.status == status) {
      return std::wstring(step) + L": " + known.name + L" (" + code + L"), " + known.meaning;
    }
  }
  return std::wstring(step) + L" failed with " + code;
}

}  // namespace

bool SignedProvidersRequired(bool found, DWORD type, DWORD data) {
  return found && type == REG_DWORD && data == FeatureBitsSignedProvidersOnly;
}

bool SignedProvidersRequiredByMachine() {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, AmsiKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &opened) !=
      ERROR_SUCCESS) {
    return SignedProvidersRequired(false, REG_NONE, 0);
  }
  UniqueRegistryKey key(opened);
  DWORD type = REG_NONE;
  DWORD data = 0;
  DWORD size = sizeof data;
  const LSTATUS status = RegQueryValueExW(key.get(), FeatureBitsValue, nullptr, &type,
                                          reinterpret_cast<BYTE*>(&data), &size);
  return SignedProvidersRequired(status == ERROR_SUCCESS && size == sizeof data, type, data);
}

SignatureVerdict CheckProviderSignature(const std::wstring& dllPath) {
  SignatureVerdict verdict;
  WINTRUST_FILE_INFO file = {};
  file.cbStruct = sizeof file;
  file.pcwszFilePath = dllPath.c_str();

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

  const HWND noWindow = static_cast<HWND>(INVALID_HANDLE_VALUE);
  const LONG trust = WinVerifyTrust(noWindow, &action, &data);
  if (trust != ERROR_SUCCESS) {
    verdict.status = static_cast<HRESULT>(trust);
    verdict.reason = Describe(verdict.status, L"signature");
  } else {
    // The signer's chain, as WinVerifyTrust built it, judged once more by
    // the Authenticode chain policy, which insists on a trusted root.
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider == nullptr ? nullptr : WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (signer == nullptr || signer->pChainContext == nullptr) {
      verdict.status = TRUST_E_NO_SIGNER_CERT;
      verdict.reason = L"signature: no signer chain to check";
    } else {
      CERT_CHAIN_POLICY_PARA para = {};
      para.cbSize = sizeof para;
      CERT_CHAIN_POLICY_STATUS policy = {};
      policy.cbSize = sizeof policy;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE,
                                            signer->pChainContext, &para, &policy)) {
        verdict.status = HRESULT_FROM_WIN32(GetLastError());
        verdict.reason = Describe(verdict.status, L"signer chain policy");
      } else if (policy.dwError != ERROR_SUCCESS) {
        verdict.status = static_cast<HRESULT>(policy.dwError);
        verdict.reason = Describe(verdict.status, L"signer chain");
      } else {
        verdict.status = S_OK;
      }
    }
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  WinVerifyTrust(noWindow, &action, &data);
  return verdict;
}
