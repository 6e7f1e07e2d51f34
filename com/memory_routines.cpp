// The DLL links no C runtime: its entry point is DllMain itself, so nothing
// of a runtime starts, registers or loads anything in the host process. The
// compiler still emits calls to these routines (zeroed buffers, structure
// copies, GUID comparison), so the module defines them. Every use in the
// provider moves at most a few hundred bytes, and the content of a scan is
// never copied through them, so a plain loop is all they need. This file is
// compiled with loop-to-call transformations off, so that no routine turns
// into a call to itself.
#include <cstddef>

extern "C" {

void* memcpy(void* destination, const void* source, size_t count) {
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  for (size_t k = 0; k < count; ++k) to[k] = from[k];
  return destination;
}

void* memset(void* destination, int value, size_t count) {
  auto* to = static_cast<unsigned char*>(destination);
  for (size_t k = 0; k < count; ++k) to[k] = static_cast<unsigned char>(value);
  return destination;
}

int memcmp(const void* left, const void* right, size_t count) {
  const auto* a = static_cast<const unsigned char*>(left);
  const auto* b = static_cast<const unsigned char*>(right);
  for (size_t k = 0; k < count; ++k) {
    if (a[k] != b[k]) return a[k] < b[k] ? -1 : 1;
  }
  return 0;
}

}  // extern "C"
