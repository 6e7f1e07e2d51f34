// The AMSI host's signature check of provider DLLs: when the machine asks
// for it (HKLM\SOFTWARE\Microsoft\AMSI, FeatureBits = 2), a provider is
// loaded only when its DLL carries a valid Authenticode signature whose
// signer chain ends in a trusted root.
#pragma once

#include <windows.h>

#include <string>

// The value that asks for signed providers.
constexpr DWORD FeatureBitsSignedProvidersOnly = 2;

// What a FeatureBits value of `type` and `data` (a REG_DWORD read as a DWORD;
// `found` false when the value is missing) asks of the host: true when only
// signed providers may load.
bool SignedProvidersRequired(bool found, DWORD type, DWORD data);

// Reads FeatureBits from HKLM\SOFTWARE\Microsoft\AMSI in the 64-bit view (one
// machine-wide setting for hosts of both architectures).
bool SignedProvidersRequiredByMachine();

// The outcome of one check: S_OK when the DLL may load; otherwise the
// failing status, from WinVerifyTrust (TRUST_E_NOSIGNATURE,
// TRUST_E_BAD_DIGEST, ...) or from the chain policy (CERT_E_UNTRUSTEDROOT,
// ...), and `reason` in words, naming the status.
struct SignatureVerdict {
  HRESULT status = E_FAIL;
  std::wstring reason;
  bool trusted() const { return status == S_OK; }
};

// Checks the file's embedded signature with WinVerifyTrust (generic verify,
// no UI, no revocation or network retrieval), then the signer's certificate
// chain with CertVerifyCertificateChainPolicy (Authenticode policy):
// WinVerifyTrust alone does not insist on a trusted root everywhere.
SignatureVerdict CheckProviderSignature(const std::wstring& dllPath);
