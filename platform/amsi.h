// The Antimalware Scan Interface as a provider sees it: the two COM
// interfaces the host and the provider exchange, and their enumerations.
// The toolchain ships no header for them, so they are declared here, in the
// platform's slot order, as plain records whose first field is the function
// table.
#pragma once

#include <windows.h>

enum AMSI_ATTRIBUTE {
  AMSI_ATTRIBUTE_APP_NAME = 0,
  AMSI_ATTRIBUTE_CONTENT_NAME = 1,
  AMSI_ATTRIBUTE_CONTENT_SIZE = 2,
  AMSI_ATTRIBUTE_CONTENT_ADDRESS = 3,
  AMSI_ATTRIBUTE_SESSION = 4,
  AMSI_ATTRIBUTE_REDIRECT_CHAIN_SIZE = 5,
  AMSI_ATTRIBUTE_REDIRECT_CHAIN_ADDRESS = 6,
  AMSI_ATTRIBUTE_ALL_SIZE = 7,
  AMSI_ATTRIBUTE_ALL_ADDRESS = 8,
  AMSI_ATTRIBUTE_QUIET = 9,
};

enum AMSI_RESULT {
  AMSI_RESULT_CLEAN = 0,
  AMSI_RESULT_NOT_DETECTED = 1,
  AMSI_RESULT_BLOCKED_BY_ADMIN_START = 0x4000,
  AMSI_RESULT_BLOCKED_BY_ADMIN_END = 0x4fff,
  AMSI_RESULT_DETECTED = 32768,
};
static_assert(sizeof(AMSI_RESULT) == 4, "AMSI_RESULT is written as a 32-bit value");

// {3e47f2e5-81d4-4d3b-897f-545096770373}
inline constexpr IID IID_IAmsiStream = {
    0x3e47f2e5, 0x81d4, 0x4d3b, {0x89, 0x7f, 0x54, 0x50, 0x96, 0x77, 0x03, 0x73}};
// {b2cabfe3-fe04-42b1-a5df-08d483d4d125}
inline constexpr IID IID_IAntimalwareProvider = {
    0xb2cabfe3, 0xfe04, 0x42b1, {0xa5, 0xdf, 0x08, 0xd4, 0x83, 0xd4, 0xd1, 0x25}};

struct IAmsiStream;
struct IAmsiStreamVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IAmsiStream* self, REFIID riid, void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(IAmsiStream* self);
  ULONG(STDMETHODCALLTYPE* Release)(IAmsiStream* self);
  HRESULT(STDMETHODCALLTYPE* GetAttribute)(IAmsiStream* self, AMSI_ATTRIBUTE attribute,
                                           ULONG dataSize, unsigned char* data,
                                           ULONG* retData);
  HRESULT(STDMETHODCALLTYPE* Read)(IAmsiStream* self, ULONGLONG position, ULONG size,
                                   unsigned char* buffer, ULONG* readSize);
};
struct IAmsiStream {
  const IAmsiStreamVtbl* lpVtbl;
};

struct IAntimalwareProvider;
struct IAntimalwareProviderVtbl {
  HRESULT(STDMETHODCALLTYPE* QueryInterface)(IAntimalwareProvider* self, REFIID riid,
                                             void** object);
  ULONG(STDMETHODCALLTYPE* AddRef)(IAntimalwareProvider* self);
  ULONG(STDMETHODCALLTYPE* Release)(IAntimalwareProvider* self);
  HRESULT(STDMETHODCALLTYPE* Scan)(IAntimalwareProvider* self, IAmsiStream* stream,
                                   AMSI_RESULT* result);
  void(STDMETHODCALLTYPE* CloseSession)(IAntimalwareProvider* self, ULONGLONG session);
  HRESULT(STDMETHODCALLTYPE* DisplayName)(IAntimalwareProvider* self, LPWSTR* displayName);
};
struct IAntimalwareProvider {
  const IAntimalwareProviderVtbl* lpVtbl;
};
