// The host's signature check: the FeatureBits setting, the check of each kind
// of provider DLL (signed under a trusted root, changed after signing,
// unsigned, signed under a root nobody trusts, missing), and amsiscan.exe
// loading or refusing each one. The DLLs are made at build time by
// make_signature_fixtures.sh from the built provider; the suite makes their
// root trusted in the machine's Root store for its run and removes it again.

#include "host/signature_check.h"
#include "testkit/child_process.h"

#include <gtest/gtest.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t AmsiKey[] = L"SOFTWARE\\Microsoft\\AMSI";

std::wstring Fixture(const wchar_t* name) {
  return ProgramDirectory() + L"signature-fixtures\\" + name;
}

std::vector<BYTE> ReadBytes(const std::wstring& path) {
  std::vector<BYTE> bytes;
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  BYTE chunk[4096];
  DWORD count = 0;
  while (ReadFile(file, chunk, sizeof chunk, &count, nullptr) && count > 0) {
    bytes.insert(bytes.end(), chunk, chunk + count);
  }
  CloseHandle(file);
  return bytes;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c < 128 ? c : '?'));
  return out;
}

// The machine's Root store (its registry part), where the test root is added
// and removed.
HCERTSTORE OpenMachineRoot() {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                       CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_OPEN_EXISTING_FLAG, L"Root");
}

// FeatureBits in the 64-bit view, set for one test and put back after it.
class FeatureBitsSetting {
 public:
  FeatureBitsSetting() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, AmsiKey, 0, nullptr, 0,
                        KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
      ADD_FAILURE() << "cannot open HKLM\\SOFTWARE\\Microsoft\\AMSI";
      return;
    }
    key_ = key;
    DWORD size = sizeof saved_;
    hadValue_ = RegQueryValueExW(key_, L"FeatureBits", nullptr, &savedType_,
                                 reinterpret_cast<BYTE*>(&saved_), &size) == ERROR_SUCCESS;
  }
  ~FeatureBitsSetting() {
    if (key_ == nullptr) return;
    if (hadValue_) {
      RegSetValueExW(key_, L"FeatureBits", 0, savedType_, reinterpret_cast<const BYTE*>(&saved_),
                     sizeof saved_);
    } else {
      RegDeleteValueW(key_, L"FeatureBits");
    }
    RegCloseKey(key_);
  }
  void Set(DWORD value) {
    ASSERT_EQ(RegSetValueExW(key_, L"FeatureBits", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_SUCCESS);
  }
  void Remove() { RegDeleteValueW(key_, L"FeatureBits"); }

 private:
  HKEY key_ = nullptr;
  bool hadValue_ = false;
  DWORD savedType_ = REG_DWORD;
  DWORD saved_ = 0;
};

// What amsiscan.exe printed and returned.
struct HostRun {
  DWORD exitCode = 0xFFFFFFFF;
  std::string out, err;
};

class SignatureCheckTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::vector<BYTE> der = ReadBytes(Fixture(L"trusted-root.der"));
    ASSERT_FALSE(der.empty()) << "the signature fixtures are missing";
    const HCERTSTORE store = OpenMachineRoot();
    ASSERT_NE(store, nullptr) << GetLastError();
    PCCERT_CONTEXT added = nullptr;
    const BOOL ok = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                     static_cast<DWORD>(der.size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &added);
    const DWORD error = GetLastError();
    if (added != nullptr) CertFreeCertificateContext(added);
    CertCloseStore(store, 0);
    ASSERT_TRUE(ok) << "cannot add the test root: " << error;
  }

  static void TearDownTestSuite() {
    const std::vector<BYTE> der = ReadBytes(Fixture(L"trusted-root.der"));
    const HCERTSTORE store = OpenMachineRoot();
    if (store == nullptr || der.empty()) return;
    PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    if (wanted != nullptr) {
      PCCERT_CONTEXT found = CertFindCertificateInStore(
          store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, wanted, nullptr);
      if (found != nullptr) CertDeleteCertificateFromStore(found);  // frees `found`
      CertFreeCertificateContext(wanted);
    }
    CertCloseStore(store, 0);
    EXPECT_FALSE(RootIsInStore()) << "the test root is still trusted";
  }

  static bool RootIsInStore() {
    const std::vector<BYTE> der = ReadBytes(Fixture(L"trusted-root.der"));
    const HCERTSTORE store = OpenMachineRoot();
    if (store == nullptr) return false;
    PCCERT_CONTEXT wanted =
        CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
    PCCERT_CONTEXT found = wanted == nullptr ? nullptr
                                             : CertFindCertificateInStore(store, X509_ASN_ENCODING,
                                                                          0, CERT_FIND_EXISTING,
                                                                          wanted, nullptr);
    const bool there = found != nullptr;
    if (found != nullptr) CertFreeCertificateContext(found);
    if (wanted != nullptr) CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    return there;
  }

  // Runs amsiscan.exe --provider `dll` on a small clean file; no service
  // runs, so a provider that loads reports "clean".
  HostRun RunHost(const std::wstring& dll) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Names of their own for every run: a file of the run before may still
    // be on its way out (its deletion waits for the last handle, which the
    // ended child gave up only a moment ago), and creating it again fails.
    static unsigned runs = 0;
    const std::wstring base = std::wstring(temp) + L"signature-check-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++runs);
    const std::wstring sample = base + L"-sample.txt", outPath = base + L"-out.txt",
                       errPath = base + L"-err.txt";
    const HANDLE sampleFile =
        CreateFileW(sample.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(sampleFile, "harmless text\r\n", 15, &written, nullptr);
    CloseHandle(sampleFile);

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr);
    const HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                   CREATE_ALWAYS, 0, nullptr);
    const HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, nullptr);
    HostRun run;
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
      ADD_FAILURE() << "cannot create the host's output files: " << GetLastError();
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    std::wstring command = L"\"" + ProgramDirectory() + L"amsiscan.exe\" --provider \"" + dll +
                           L"\" \"" + sample + L"\"";
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
      // A scan with no service ends at once; a minute means amsiscan hangs.
      if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &run.exitCode);
      } else {
        TerminateProcess(process.hProcess, 99);
        ADD_FAILURE() << "amsiscan did not end";
      }
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      ADD_FAILURE() << "cannot start amsiscan: " << GetLastError();
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    const std::vector<BYTE> outBytes = ReadBytes(outPath), errBytes = ReadBytes(errPath);
    run.out.assign(outBytes.begin(), outBytes.end());
    run.err.assign(errBytes.begin(), errBytes.end());
    DeleteFileW(sample.c_str());
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    return run;
  }
};

TEST(SignedProvidersRequired, OnlyDwordTwoAsksForSignedProviders) {
  struct Case {
    bool found;
    DWORD type;
    DWORD data;
    bool required;
  };
  const Case cases[] = {
      {false, REG_NONE, 0, false},   // no FeatureBits: providers load unchecked
      {true, REG_DWORD, 2, true},    // the setting that asks for signatures
      {true, REG_DWORD, 1, false},   // the check switched off
      {true, REG_DWORD, 0, false},
      {true, REG_DWORD, 3, false},
      {true, REG_BINARY, 2, false},  // the right bytes under the wrong type
      {true, REG_SZ, 2, false},
      {false, REG_DWORD, 2, false},  // a failed read, whatever the buffer holds
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SignedProvidersRequired(c.found, c.type, c.data), c.required)
        << "found " << c.found << ", type " << c.type << ", data " << c.data;
  }
}

TEST(SignedProvidersRequired, FollowsTheMachineSetting) {
  FeatureBitsSetting setting;
  setting.Remove();
  EXPECT_FALSE(SignedProvidersRequiredByMachine());
  setting.Set(2);
  EXPECT_TRUE(SignedProvidersRequiredByMachine());
  setting.Set(1);
  EXPECT_FALSE(SignedProvidersRequiredByMachine());
}

struct SignatureCase {
  const wchar_t* file;
  HRESULT status;
  const char* reasonHas;  // a part of the reason; empty when trusted
};

const SignatureCase SignatureCases[] = {
    {L"signed.dll", S_OK, ""},
    {L"tampered.dll", TRUST_E_BAD_DIGEST, "TRUST_E_BAD_DIGEST"},
    {L"unsigned.dll", TRUST_E_NOSIGNATURE, "TRUST_E_NOSIGNATURE"},
    {L"untrusted.dll", CERT_E_UNTRUSTEDROOT, "CERT_E_UNTRUSTEDROOT"},
};

TEST_F(SignatureCheckTest, JudgesEachKindOfDll) {
  for (const SignatureCase& c : SignatureCases) {
    const SignatureVerdict verdict = CheckProviderSignature(Fixture(c.file));
    EXPECT_EQ(verdict.status, c.status) << Narrow(c.file) << ": " << Narrow(verdict.reason);
    EXPECT_EQ(verdict.trusted(), c.status == S_OK) << Narrow(c.file);
    if (c.status == S_OK) {
      EXPECT_TRUE(verdict.reason.empty()) << Narrow(verdict.reason);
    } else {
      EXPECT_NE(Narrow(verdict.reason).find(c.reasonHas), std::string::npos)
          << Narrow(c.file) << ": " << Narrow(verdict.reason);
    }
  }
}

TEST_F(SignatureCheckTest, AMissingFileIsNotTrusted) {
  const SignatureVerdict verdict = CheckProviderSignature(Fixture(L"no-such.dll"));
  EXPECT_FALSE(verdict.trusted());
  EXPECT_FALSE(verdict.reason.empty());
}

TEST_F(SignatureCheckTest, HostLoadsOnlyTrustedProvidersWhenAsked) {
  FeatureBitsSetting setting;
  setting.Set(FeatureBitsSignedProvidersOnly);
  for (const SignatureCase& c : SignatureCases) {
    const HostRun run = RunHost(Fixture(c.file));
    if (c.status == S_OK) {
      EXPECT_EQ(run.exitCode, 0u) << Narrow(c.file) << "\n" << run.out << run.err;
      EXPECT_NE(run.out.find("signature of "), std::string::npos) << run.out;
      EXPECT_NE(run.out.find(": trusted"), std::string::npos) << run.out;
      EXPECT_NE(run.out.find("loaded \"Kestrov Antivirus\""), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.exitCode, 2u) << Narrow(c.file) << "\n" << run.out << run.err;
      EXPECT_EQ(run.out.find("loaded "), std::string::npos) << run.out;
      EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(c.reasonHas), std::string::npos) << run.err;
    }
  }
}

TEST_F(SignatureCheckTest, HostLoadsUnsignedProvidersWhenNotAsked) {
  FeatureBitsSetting setting;
  setting.Remove();
  for (const wchar_t* file : {L"unsigned.dll", L"untrusted.dll", L"signed.dll"}) {
    const HostRun run = RunHost(Fixture(file));
    EXPECT_EQ(run.exitCode, 0u) << Narrow(file) << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find("loaded \"Kestrov Antivirus\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("signature of "), std::string::npos) << run.out;
  }
}

}  // namespace
