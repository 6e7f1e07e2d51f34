// The host side of a scan: content held in memory and the IAmsiStream that
// serves it to providers.
#pragma once

#include "platform/amsi.h"
#include "platform/unique_handle.h"

// Bytes to scan, in one block from the process heap.
class ScanContent {
 public:
  ScanContent() = default;
  ScanContent(const ScanContent&) = delete;
  ScanContent& operator=(const ScanContent&) = delete;

  // Replaces what is held with the whole file at `path`. Fails with the
  // file's error (as an HRESULT) or E_OUTOFMEMORY; on failure the content is
  // empty.
  HRESULT LoadFile(const wchar_t* path);
  // Replaces what is held with everything readable from `handle` up to its
  // end (a pipe, a console, a file). The handle is neither closed nor moved.
  HRESULT LoadHandle(HANDLE handle);
  // Replaces what is held with a copy of `size` bytes.
  HRESULT Assign(const BYTE* bytes, ULONGLONG size);

  const BYTE* data() const { return static_cast<const BYTE*>(block_.get()); }
  ULONGLONG size() const { return size_; }

 private:
  // At least `capacity` bytes, keeping the first `size_` ones.
  HRESULT Reserve(ULONGLONG capacity);

  UniqueHeapBlock block_;
  ULONGLONG size_ = 0;
  ULONGLONG capacity_ = 0;
};

// What one stream answers. Everything is borrowed: the content and both
// names must outlive every stream made from them.
struct FileStreamSettings {
  const ScanContent* content = nullptr;
  const wchar_t* appName = L"";
  const wchar_t* contentName = L"";
  ULONGLONG session = 0;
  // False: AMSI_ATTRIBUTE_CONTENT_ADDRESS answers E_NOTIMPL, and the content
  // is served only through Read.
  bool offerAddress = true;
};

// A new stream with one reference, or E_OUTOFMEMORY / E_INVALIDARG. The
// stream frees itself on its last Release.
HRESULT CreateFileStream(const FileStreamSettings& settings, IAmsiStream** stream);
