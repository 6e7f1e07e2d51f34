// The host's side of a fuzzed scan: an IAmsiStream whose every answer comes
// from the case.
#pragma once

#include "platform/amsi.h"

#include <vector>

struct AttributeAnswer {
  HRESULT result = E_NOTIMPL;
  std::vector<BYTE> data;  // copied into the caller's buffer, at most its size
  ULONG returnedSize = 0;  // stored through retData, whatever was copied
};

struct StreamPlan {
  AttributeAnswer size, appName, contentName;
  // CONTENT_ADDRESS: the result, and whether the address stored is the
  // content's or null.
  HRESULT addressResult = E_NOTIMPL;
  bool addressNull = false;
  // Read: the result, and the count reported (`readReportsAsked`: the size
  // asked for). Read always fills the whole buffer it is given with content.
  HRESULT readResult = S_OK;
  bool readReportsAsked = true;
  ULONG readReported = 0;
};

// Names are copied into the caller's buffer and the rest of it is filled
// with this, so that what a provider sends is known even when a stream
// reports more than it wrote.
BYTE NameFillerByte(ULONG offset);

class FuzzStream {
 public:
  // `content` must hold as many bytes as any Read may ask for.
  FuzzStream(const StreamPlan& plan, const BYTE* content);
  IAmsiStream* get() { return &record_.stream; }
  unsigned calls() const { return calls_; }

 private:
  struct Record {
    IAmsiStream stream;
    FuzzStream* owner;
  };
  static HRESULT STDMETHODCALLTYPE QueryInterface(IAmsiStream*, REFIID, void**);
  static ULONG STDMETHODCALLTYPE AddRef(IAmsiStream*);
  static ULONG STDMETHODCALLTYPE Release(IAmsiStream*);
  static HRESULT STDMETHODCALLTYPE GetAttribute(IAmsiStream*, AMSI_ATTRIBUTE, ULONG,
                                                unsigned char*, ULONG*);
  static HRESULT STDMETHODCALLTYPE Read(IAmsiStream*, ULONGLONG, ULONG, unsigned char*,
                                        ULONG*);
  static const IAmsiStreamVtbl vtable_;

  Record record_;
  const StreamPlan& plan_;
  const BYTE* content_;
  unsigned calls_ = 0;
};
