#include "fuzz/fuzz_stream.h"

#include <cstring>

const IAmsiStreamVtbl FuzzStream::vtable_ = {&FuzzStream::QueryInterface, &FuzzStream::AddRef,
                                             &FuzzStream::Release, &FuzzStream::GetAttribute,
                                             &FuzzStream::Read};

BYTE NameFillerByte(ULONG offset) { return static_cast<BYTE>(0xA5 ^ (offset * 7)); }

FuzzStream::FuzzStream(const StreamPlan& plan, const BYTE* content)
    : plan_(plan), content_(content) {
  record_.stream.lpVtbl = &vtable_;
  record_.owner = this;
}

HRESULT STDMETHODCALLTYPE FuzzStream::QueryInterface(IAmsiStream*, REFIID, void** object) {
  if (object != nullptr) *object = nullptr;
  return E_NOINTERFACE;
}
ULONG STDMETHODCALLTYPE FuzzStream::AddRef(IAmsiStream*) { return 2; }
ULONG STDMETHODCALLTYPE FuzzStream::Release(IAmsiStream*) { return 1; }

HRESULT STDMETHODCALLTYPE FuzzStream::GetAttribute(IAmsiStream* self, AMSI_ATTRIBUTE attribute,
                                                   ULONG dataSize, unsigned char* data,
                                                   ULONG* retData) {
  FuzzStream* owner = reinterpret_cast<Record*>(self)->owner;
  ++owner->calls_;
  const StreamPlan& plan = owner->plan_;
  if (attribute == AMSI_ATTRIBUTE_CONTENT_ADDRESS) {
    if (FAILED(plan.addressResult)) return plan.addressResult;
    const BYTE* address = plan.addressNull ? nullptr : owner->content_;
    if (dataSize < sizeof address) return E_NOT_SUFFICIENT_BUFFER;
    memcpy(data, &address, sizeof address);
    *retData = sizeof address;
    return plan.addressResult;
  }
  const AttributeAnswer* answer = attribute == AMSI_ATTRIBUTE_CONTENT_SIZE ? &plan.size
                                  : attribute == AMSI_ATTRIBUTE_APP_NAME   ? &plan.appName
                                  : attribute == AMSI_ATTRIBUTE_CONTENT_NAME
                                      ? &plan.contentName
                                      : nullptr;
  if (answer == nullptr) return E_NOTIMPL;
  const ULONG copied = static_cast<ULONG>(answer->data.size()) < dataSize
                           ? static_cast<ULONG>(answer->data.size())
                           : dataSize;
  if (copied > 0) memcpy(data, answer->data.data(), copied);
  if (attribute != AMSI_ATTRIBUTE_CONTENT_SIZE) {
    for (ULONG k = copied; k < dataSize; ++k) data[k] = NameFillerByte(k);
  }
  *retData = answer->returnedSize;
  return answer->result;
}

HRESULT STDMETHODCALLTYPE FuzzStream::Read(IAmsiStream* self, ULONGLONG position, ULONG size,
                                           unsigned char* buffer, ULONG* readSize) {
  FuzzStream* owner = reinterpret_cast<Record*>(self)->owner;
  ++owner->calls_;
  const StreamPlan& plan = owner->plan_;
  if (position != 0) return E_INVALIDARG;
  if (FAILED(plan.readResult)) return plan.readResult;
  memcpy(buffer, owner->content_, size);
  *readSize = plan.readReportsAsked ? size : plan.readReported;
  return plan.readResult;
}
