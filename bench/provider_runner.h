// The provider DLL loaded from this program's directory as the AMSI host
// loads it (DllGetClassObject, IClassFactory::CreateInstance), and the
// streams it scans.
#pragma once

#include "host/file_stream.h"
#include "host/provider_host.h"
#include "platform/amsi.h"
#include "protocol/provider_identity.h"

#include <windows.h>

#include <string>

class ProviderRunner {
 public:
  // False with `failure` told when the DLL or its provider cannot be had.
  bool Load(std::wstring* failure);
  HMODULE module() const { return GetModuleHandleW(ProviderDllName); }
  // One scan; AMSI_RESULT_CLEAN when Scan itself failed.
  AMSI_RESULT Scan(IAmsiStream* stream) const;

 private:
  LoadedProvider loaded_;
};

// A host stream over `content` (borrowed), offering the content's address
// or only Read. Released on destruction.
class BenchStream {
 public:
  BenchStream(const ScanContent& content, const wchar_t* contentName, bool offerAddress);
  ~BenchStream();
  BenchStream(const BenchStream&) = delete;
  BenchStream& operator=(const BenchStream&) = delete;
  IAmsiStream* get() const { return stream_; }

 private:
  IAmsiStream* stream_ = nullptr;
};
