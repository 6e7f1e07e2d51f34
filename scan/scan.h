// One AMSI scan forwarded to the scan service.
#pragma once

#include "platform/amsi.h"
#include "protocol/wire_format.h"

// MaxContentBytes (protocol/wire_format.h) are taken, copied and sent at most.
constexpr ULONG NameBufferBytes = MaxNameBytes;  // each of the two name buffers
constexpr ULONG ExchangeBudgetMs = 1500;     // from the tick base to the deadline

// IAntimalwareProvider::Scan, in the form the provider's function table
// holds. Uses no field of `self`. Returns E_INVALIDARG for a null `result`,
// S_OK otherwise; *result is AMSI_RESULT_DETECTED only when the service
// answered 1, AMSI_RESULT_NOT_DETECTED after every other outcome.
HRESULT STDMETHODCALLTYPE Scan(IAntimalwareProvider* self, IAmsiStream* stream,
                               AMSI_RESULT* result);

// Length in bytes of a name to send: the returned size (at most the buffer's
// NameBufferBytes, rounded down to whole UTF-16 units) without its trailing
// NUL units; 0 when the attribute call failed.
ULONG TrimmedNameBytes(bool succeeded, ULONG returnedSize, const BYTE* buffer);
