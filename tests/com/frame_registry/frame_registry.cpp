// A stand-in for the toolchain's shared runtime DLL: it carries that DLL's
// name and its two frame-registration exports, and only counts their calls.
// A test loads it into its process before loading the provider; any start-up
// code that looks for a loaded runtime of this name then calls in here.
#include <windows.h>

namespace {
LONG recordedCalls = 0;
}  // namespace

extern "C" {

void __register_frame_info(const void*, void*) { InterlockedIncrement(&recordedCalls); }

void* __deregister_frame_info(const void*) {
  InterlockedIncrement(&recordedCalls);
  return nullptr;
}

LONG RecordedFrameCalls() { return recordedCalls; }

// Its own entry point, so that no runtime start-up of this DLL calls the
// exports above (and finds itself by name).
BOOL WINAPI FrameRegistryEntry(HINSTANCE, DWORD, LPVOID) { return TRUE; }

}  // extern "C"
