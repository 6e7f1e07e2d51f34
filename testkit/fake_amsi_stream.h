// An IAmsiStream that answers as a test, a fuzz case or a measurement says,
// and records the calls made on it.
#pragma once

#include "platform/amsi.h"
#include "testkit/request_bytes.h"  // Utf16Bytes

#include <string>
#include <vector>

class FakeAmsiStream {
 public:
  struct Answer {
    HRESULT result = E_NOTIMPL;
    std::vector<BYTE> data;  // copied into the caller's buffer, at most its data size
    ULONG returnedSize = 0;  // stored through retData, whatever was copied
  };
  struct Call {
    bool isRead = false;
    AMSI_ATTRIBUTE attribute = AMSI_ATTRIBUTE_APP_NAME;
    ULONG dataSize = 0;       // GetAttribute's data size, or Read's size
    ULONGLONG position = 0;   // Read only
  };

  FakeAmsiStream();
  FakeAmsiStream(const FakeAmsiStream&) = delete;
  FakeAmsiStream& operator=(const FakeAmsiStream&) = delete;

  IAmsiStream* get() { return &record_.stream; }

  void SetAnswer(AMSI_ATTRIBUTE attribute, Answer answer);
  void SetContentSize(ULONGLONG size, HRESULT result = S_OK);
  // A name as the host gives it: the UTF-16 units with one terminating NUL.
  void SetName(AMSI_ATTRIBUTE attribute, const std::wstring& name);
  // Content served by address (the address of `content`) and reported with
  // its size, or only through Read when `byAddress` is false.
  void SetContent(std::vector<BYTE> content, bool byAddress);
  // Read serves `size` bytes at `content` (borrowed, not copied) instead;
  // the size and address answers are left as they are.
  void SetBorrowedContent(const BYTE* content, size_t size);
  const std::vector<BYTE>& content() const { return content_; }

  // When set, GetAttribute fills the rest of a name's buffer (after what
  // the answer copied) with nameFiller(offset), so that what a provider
  // sends from past the name is known.
  BYTE (*nameFiller)(ULONG offset) = nullptr;

  // Read: the result returned, and the count reported instead of the number
  // of bytes actually placed (which never exceeds the size asked for).
  HRESULT readResult = S_OK;
  bool overrideReadCount = false;
  ULONG reportedReadCount = 0;
  // At most this many bytes are placed by one Read.
  ULONG readLimit = 0xFFFFFFFF;

  // Calls in order. Recording never allocates, so counting allocations
  // around a scan is not disturbed.
  static constexpr size_t MaxCalls = 16;
  Call calls[MaxCalls];
  size_t callCount = 0;
  size_t ReadCalls() const;

 private:
  struct Record {
    IAmsiStream stream;
    FakeAmsiStream* owner;
  };
  static HRESULT STDMETHODCALLTYPE QueryInterface(IAmsiStream*, REFIID, void**);
  static ULONG STDMETHODCALLTYPE AddRef(IAmsiStream*);
  static ULONG STDMETHODCALLTYPE Release(IAmsiStream*);
  static HRESULT STDMETHODCALLTYPE GetAttribute(IAmsiStream*, AMSI_ATTRIBUTE, ULONG,
                                                unsigned char*, ULONG*);
  static HRESULT STDMETHODCALLTYPE Read(IAmsiStream*, ULONGLONG, ULONG, unsigned char*,
                                        ULONG*);
  static FakeAmsiStream* Owner(IAmsiStream* stream);
  void Note(const Call& call);

  static const IAmsiStreamVtbl vtable_;
  Record record_;
  Answer answers_[10];
  std::vector<BYTE> content_;
  const BYTE* readFrom_ = nullptr;  // content_ or borrowed bytes
  size_t readSize_ = 0;
};
