// The host's side of a fuzzed scan: the kit's configurable stream, set up
// so that its every answer comes from the case.
#pragma once

#include "platform/amsi.h"
#include "testkit/fake_amsi_stream.h"

using AttributeAnswer = FakeAmsiStream::Answer;

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

// Makes `stream` answer as `plan` says. `content` must hold `contentBytes`,
// as many bytes as any Read may ask for; it is borrowed.
void ConfigureStream(const StreamPlan& plan, const BYTE* content, size_t contentBytes,
                     FakeAmsiStream* stream);
