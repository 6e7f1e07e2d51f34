#include "fuzz/fuzz_stream.h"

#include <cstring>

BYTE NameFillerByte(ULONG offset) { return static_cast<BYTE>(0xA5 ^ (offset * 7)); }

void ConfigureStream(const StreamPlan& plan, const BYTE* content, size_t contentBytes,
                     FakeAmsiStream* stream) {
  stream->SetAnswer(AMSI_ATTRIBUTE_CONTENT_SIZE, plan.size);
  stream->SetAnswer(AMSI_ATTRIBUTE_APP_NAME, plan.appName);
  stream->SetAnswer(AMSI_ATTRIBUTE_CONTENT_NAME, plan.contentName);
  stream->nameFiller = NameFillerByte;

  AttributeAnswer address;
  address.result = plan.addressResult;
  if (SUCCEEDED(plan.addressResult)) {
    const BYTE* pointer = plan.addressNull ? nullptr : content;
    address.data.resize(sizeof pointer);
    memcpy(address.data.data(), &pointer, sizeof pointer);
    address.returnedSize = sizeof pointer;
  }
  stream->SetAnswer(AMSI_ATTRIBUTE_CONTENT_ADDRESS, address);

  stream->SetBorrowedContent(content, contentBytes);
  stream->readResult = plan.readResult;
  stream->overrideReadCount = !plan.readReportsAsked;
  stream->reportedReadCount = plan.readReported;
}
