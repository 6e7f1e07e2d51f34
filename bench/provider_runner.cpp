#include "bench/provider_runner.h"

#include "bench/bench_support.h"
#include "testkit/provider_dll.h"

bool ProviderRunner::Load(std::wstring* failure) {
  return SUCCEEDED(LoadBuiltProvider(&loaded_, failure));
}

AMSI_RESULT ProviderRunner::Scan(IAmsiStream* stream) const {
  IAntimalwareProvider* provider = loaded_.provider();
  AMSI_RESULT result = AMSI_RESULT_CLEAN;
  if (provider->lpVtbl->Scan(provider, stream, &result) != S_OK) return AMSI_RESULT_CLEAN;
  return result;
}

BenchStream::BenchStream(const ScanContent& content, const wchar_t* contentName,
                         bool offerAddress) {
  FileStreamSettings settings;
  settings.content = &content;
  settings.appName = BenchAppName;
  settings.contentName = contentName;
  settings.offerAddress = offerAddress;
  if (FAILED(CreateFileStream(settings, &stream_))) stream_ = nullptr;
}

BenchStream::~BenchStream() {
  if (stream_ != nullptr) stream_->lpVtbl->Release(stream_);
}
