// Owning wrappers for platform handles: one type per handle kind, so that
// "released on every path" is a property of the type rather than of every
// return statement.
#pragma once

#include <windows.h>

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept : value_(Traits::Invalid()) {}
  explicit UniqueResource(Type value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  Type get() const noexcept { return value_; }
  explicit operator bool() const noexcept { return value_ != Traits::Invalid(); }

  // Closes what is held (if anything) and takes `value` instead.
  void reset(Type value = Traits::Invalid()) noexcept {
    const Type old = value_;
    value_ = value;
    if (old != Traits::Invalid()) Traits::Close(old);
  }

  // Gives up ownership without closing.
  Type release() noexcept {
    const Type value = value_;
    value_ = Traits::Invalid();
    return value;
  }

 private:
  Type value_;
};

// Kernel objects whose "none" is null: events, processes, threads.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type handle) noexcept { CloseHandle(handle); }
};

// File-like handles whose "none" is INVALID_HANDLE_VALUE: CreateFileW results.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) noexcept { CloseHandle(handle); }
};

struct RegistryKeyTraits {
  using Type = HKEY;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type key) noexcept { RegCloseKey(key); }
};

// A block from the process heap, allocated with no flags.
struct ProcessHeapTraits {
  using Type = void*;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type block) noexcept { HeapFree(GetProcessHeap(), 0, block); }
};

// Service control manager and service handles (OpenSCManagerW, OpenServiceW).
struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static void Close(Type handle) noexcept { CloseServiceHandle(handle); }
};

using UniqueKernelHandle = UniqueResource<KernelHandleTraits>;
using UniqueFileHandle = UniqueResource<FileHandleTraits>;
using UniqueRegistryKey = UniqueResource<RegistryKeyTraits>;
using UniqueHeapBlock = UniqueResource<ProcessHeapTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
