#include "testkit/fake_amsi_stream.h"

#include <unknwn.h>

#include <cstring>

const IAmsiStreamVtbl FakeAmsiStream::vtable_ = {
    &FakeAmsiStream::QueryInterface, &FakeAmsiStream::AddRef, &FakeAmsiStream::Release,
    &FakeAmsiStream::GetAttribute, &FakeAmsiStream::Read};

FakeAmsiStream::FakeAmsiStream() {
  record_.stream.lpVtbl = &vtable_;
  record_.owner = this;
}

FakeAmsiStream* FakeAmsiStream::Owner(IAmsiStream* stream) {
  return reinterpret_cast<Record*>(stream)->owner;
}

void FakeAmsiStream::Note(const Call& call) {
  if (callCount < MaxCalls) calls[callCount] = call;
  ++callCount;
}

size_t FakeAmsiStream::ReadCalls() const {
  size_t reads = 0;
  for (size_t i = 0; i < callCount && i < MaxCalls; ++i) reads += calls[i].isRead ? 1 : 0;
  return reads;
}

void FakeAmsiStream::SetAnswer(AMSI_ATTRIBUTE attribute, Answer answer) {
  answers_[attribute] = std::move(answer);
}

void FakeAmsiStream::SetContentSize(ULONGLONG size, HRESULT result) {
  Answer answer;
  answer.result = result;
  answer.data.resize(sizeof size);
  memcpy(answer.data.data(), &size, sizeof size);
  answer.returnedSize = sizeof size;
  SetAnswer(AMSI_ATTRIBUTE_CONTENT_SIZE, std::move(answer));
}

void FakeAmsiStream::SetName(AMSI_ATTRIBUTE attribute, const std::wstring& name) {
  Answer answer;
  answer.result = S_OK;
  answer.data = Utf16Bytes(name);
  answer.data.push_back(0);
  answer.data.push_back(0);
  answer.returnedSize = static_cast<ULONG>(answer.data.size());
  SetAnswer(attribute, std::move(answer));
}

void FakeAmsiStream::SetBorrowedContent(const BYTE* content, size_t size) {
  readFrom_ = content;
  readSize_ = size;
}

void FakeAmsiStream::SetContent(std::vector<BYTE> content, bool byAddress) {
  content_ = std::move(content);
  readFrom_ = content_.data();
  readSize_ = content_.size();
  SetContentSize(content_.size());
  Answer address;
  if (byAddress) {
    const BYTE* pointer = content_.data();
    address.result = S_OK;
    address.data.resize(sizeof pointer);
    memcpy(address.data.data(), &pointer, sizeof pointer);
    address.returnedSize = sizeof pointer;
  }
  SetAnswer(AMSI_ATTRIBUTE_CONTENT_ADDRESS, std::move(address));
}

HRESULT STDMETHODCALLTYPE FakeAmsiStream::QueryInterface(IAmsiStream* self, REFIID riid,
                                                         void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAmsiStream)) {
    *object = self;
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

// The stream lives on the test's stack; reference counts have no meaning.
ULONG STDMETHODCALLTYPE FakeAmsiStream::AddRef(IAmsiStream*) { return 2; }
ULONG STDMETHODCALLTYPE FakeAmsiStream::Release(IAmsiStream*) { return 1; }

HRESULT STDMETHODCALLTYPE FakeAmsiStream::GetAttribute(IAmsiStream* self,
                                                       AMSI_ATTRIBUTE attribute, ULONG dataSize,
                                                       unsigned char* data, ULONG* retData) {
  FakeAmsiStream* owner = Owner(self);
  Call call;
  call.attribute = attribute;
  call.dataSize = dataSize;
  owner->Note(call);
  if (attribute < 0 || attribute > AMSI_ATTRIBUTE_QUIET) return E_INVALIDARG;
  const Answer& answer = owner->answers_[attribute];
  const size_t copy = answer.data.size() < dataSize ? answer.data.size() : dataSize;
  if (copy > 0) memcpy(data, answer.data.data(), copy);
  const bool isName = attribute == AMSI_ATTRIBUTE_APP_NAME || attribute == AMSI_ATTRIBUTE_CONTENT_NAME;
  if (isName && owner->nameFiller != nullptr) {
    for (ULONG k = static_cast<ULONG>(copy); k < dataSize; ++k) data[k] = owner->nameFiller(k);
  }
  if (retData != nullptr) *retData = answer.returnedSize;
  return answer.result;
}

HRESULT STDMETHODCALLTYPE FakeAmsiStream::Read(IAmsiStream* self, ULONGLONG position,
                                               ULONG size, unsigned char* buffer,
                                               ULONG* readSize) {
  FakeAmsiStream* owner = Owner(self);
  Call call;
  call.isRead = true;
  call.dataSize = size;
  call.position = position;
  owner->Note(call);
  ULONGLONG available = position < owner->readSize_ ? owner->readSize_ - position : 0;
  if (available > size) available = size;
  if (available > owner->readLimit) available = owner->readLimit;
  if (available > 0) memcpy(buffer, owner->readFrom_ + position, available);
  *readSize = owner->overrideReadCount ? owner->reportedReadCount
                                       : static_cast<ULONG>(available);
  return owner->readResult;
}
