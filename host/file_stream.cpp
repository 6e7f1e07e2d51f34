#include "host/file_stream.h"

#include <unknwn.h>

#include <cstring>
#include <cwchar>

namespace {

// One ReadFile asks for at most this much.
constexpr DWORD ReadChunkBytes = 1u << 20;

bool SameIid(REFIID left, REFIID right) { return memcmp(&left, &right, sizeof(IID)) == 0; }

struct FileStream {
  IAmsiStream stream;  // first: the interface pointer is the record's address
  LONG refCount;
  FileStreamSettings settings;
};

FileStream* AsFileStream(IAmsiStream* self) { return reinterpret_cast<FileStream*>(self); }

HRESULT STDMETHODCALLTYPE StreamQueryInterface(IAmsiStream* self, REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (SameIid(riid, IID_IUnknown) || SameIid(riid, IID_IAmsiStream)) {
    *object = self;
    self->lpVtbl->AddRef(self);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE StreamAddRef(IAmsiStream* self) {
  return static_cast<ULONG>(InterlockedIncrement(&AsFileStream(self)->refCount));
}

ULONG STDMETHODCALLTYPE StreamRelease(IAmsiStream* self) {
  const LONG count = InterlockedDecrement(&AsFileStream(self)->refCount);
  if (count == 0) HeapFree(GetProcessHeap(), 0, self);
  return static_cast<ULONG>(count);
}

// Copies `bytes` out when the caller's buffer holds them all; the needed
// size is reported either way.
HRESULT Answer(const void* bytes, ULONG needed, ULONG dataSize, unsigned char* data,
               ULONG* retData) {
  *retData = needed;
  if (dataSize < needed) return E_NOT_SUFFICIENT_BUFFER;
  if (data == nullptr) return E_INVALIDARG;
  memcpy(data, bytes, needed);
  return S_OK;
}

HRESULT AnswerName(const wchar_t* name, ULONG dataSize, unsigned char* data, ULONG* retData) {
  const size_t bytes = (wcslen(name) + 1) * sizeof(wchar_t);
  if (bytes > 0xFFFFFFFFu) return E_UNEXPECTED;
  return Answer(name, static_cast<ULONG>(bytes), dataSize, data, retData);
}

HRESULT STDMETHODCALLTYPE StreamGetAttribute(IAmsiStream* self, AMSI_ATTRIBUTE attribute,
                                             ULONG dataSize, unsigned char* data,
                                             ULONG* retData) {
  if (retData == nullptr) return E_INVALIDARG;
  *retData = 0;
  const FileStreamSettings& settings = AsFileStream(self)->settings;
  switch (attribute) {
    case AMSI_ATTRIBUTE_APP_NAME:
      return AnswerName(settings.appName, dataSize, data, retData);
    case AMSI_ATTRIBUTE_CONTENT_NAME:
      return AnswerName(settings.contentName, dataSize, data, retData);
    case AMSI_ATTRIBUTE_CONTENT_SIZE: {
      const ULONGLONG size = settings.content->size();
      return Answer(&size, sizeof size, dataSize, data, retData);
    }
    case AMSI_ATTRIBUTE_CONTENT_ADDRESS: {
      if (!settings.offerAddress) return E_NOTIMPL;
      const BYTE* address = settings.content->data();
      return Answer(&address, sizeof address, dataSize, data, retData);
    }
    case AMSI_ATTRIBUTE_SESSION:
      return Answer(&settings.session, sizeof settings.session, dataSize, data, retData);
    default:
      return E_NOTIMPL;
  }
}

HRESULT STDMETHODCALLTYPE StreamRead(IAmsiStream* self, ULONGLONG position, ULONG size,
                                     unsigned char* buffer, ULONG* readSize) {
  if (readSize == nullptr) return E_INVALIDARG;
  *readSize = 0;
  if (buffer == nullptr && size > 0) return E_INVALIDARG;
  const ScanContent& content = *AsFileStream(self)->settings.content;
  if (position >= content.size()) return S_OK;
  const ULONGLONG available = content.size() - position;
  const ULONG count = available < size ? static_cast<ULONG>(available) : size;
  memcpy(buffer, content.data() + position, count);
  *readSize = count;
  return S_OK;
}

const IAmsiStreamVtbl FileStreamFunctionTable = {StreamQueryInterface, StreamAddRef,
                                                 StreamRelease, StreamGetAttribute,
                                                 StreamRead};

}  // namespace

HRESULT ScanContent::Reserve(ULONGLONG capacity) {
  if (capacity <= capacity_ && block_) return S_OK;
  if (capacity > static_cast<SIZE_T>(-1)) return E_OUTOFMEMORY;
  // HeapAlloc of zero bytes still gives a block, so data() is never null.
  const SIZE_T bytes = static_cast<SIZE_T>(capacity);
  void* grown = block_ ? HeapReAlloc(GetProcessHeap(), 0, block_.get(), bytes)
                       : HeapAlloc(GetProcessHeap(), 0, bytes);
  if (grown == nullptr) return E_OUTOFMEMORY;
  block_.release();
  block_.reset(grown);
  capacity_ = capacity;
  return S_OK;
}

HRESULT ScanContent::Assign(const BYTE* bytes, ULONGLONG size) {
  size_ = 0;
  const HRESULT hr = Reserve(size);
  if (FAILED(hr)) return hr;
  if (size > 0) memcpy(block_.get(), bytes, static_cast<size_t>(size));
  size_ = size;
  return S_OK;
}

HRESULT ScanContent::LoadFile(const wchar_t* path) {
  size_ = 0;
  UniqueFileHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                    nullptr));
  if (!file) return HRESULT_FROM_WIN32(GetLastError());
  LARGE_INTEGER fileSize = {};
  if (!GetFileSizeEx(file.get(), &fileSize)) return HRESULT_FROM_WIN32(GetLastError());
  // Room for the whole file and one byte more, so that the read that finds
  // its end needs no growth; a file that grows meanwhile is read to its end.
  const HRESULT hr = Reserve(static_cast<ULONGLONG>(fileSize.QuadPart) + 1);
  if (FAILED(hr)) return hr;
  return LoadHandle(file.get());
}

HRESULT ScanContent::LoadHandle(HANDLE handle) {
  size_ = 0;
  for (;;) {
    if (size_ == capacity_ || !block_) {
      const ULONGLONG growth = capacity_ > ReadChunkBytes ? capacity_ : ReadChunkBytes;
      const HRESULT hr = Reserve(capacity_ + growth);
      if (FAILED(hr)) {
        size_ = 0;
        return hr;
      }
    }
    const ULONGLONG room = capacity_ - size_;
    const DWORD want = room < ReadChunkBytes ? static_cast<DWORD>(room) : ReadChunkBytes;
    DWORD count = 0;
    if (!ReadFile(handle, static_cast<BYTE*>(block_.get()) + size_, want, &count, nullptr)) {
      const DWORD error = GetLastError();
      // The writer of a pipe closing its end is the pipe's end of file.
      if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return S_OK;
      size_ = 0;
      return HRESULT_FROM_WIN32(error);
    }
    if (count == 0) return S_OK;
    size_ += count;
  }
}

HRESULT CreateFileStream(const FileStreamSettings& settings, IAmsiStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (settings.content == nullptr || settings.appName == nullptr ||
      settings.contentName == nullptr) {
    return E_INVALIDARG;
  }
  auto* record = static_cast<FileStream*>(HeapAlloc(GetProcessHeap(), 0, sizeof(FileStream)));
  if (record == nullptr) return E_OUTOFMEMORY;
  record->stream.lpVtbl = &FileStreamFunctionTable;
  record->refCount = 1;
  record->settings = settings;
  *stream = &record->stream;
  return S_OK;
}
