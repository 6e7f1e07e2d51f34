// The provider object that the AMSI host holds and calls for every scan.
#pragma once

#include "platform/amsi.h"
#include "protocol/provider_identity.h"

// A heap record of exactly two fields; the function table comes first, so
// the record is an IAntimalwareProvider.
struct AmsiProvider {
  const IAntimalwareProviderVtbl* lpVtbl;
  LONG refCount;
};

// Shared by every provider object; its Scan slot is the scan procedure.
extern const IAntimalwareProviderVtbl ProviderFunctionTable;

inline IAntimalwareProvider* AsInterface(AmsiProvider* provider) {
  return reinterpret_cast<IAntimalwareProvider*>(provider);
}
