#include "testkit/import_patch.h"

namespace {

template <typename T>
T* At(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

bool WriteSlot(void** slot, const void* value) {
  DWORD oldProtection = 0;
  if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &oldProtection)) return false;
  *slot = const_cast<void*>(value);
  DWORD ignored = 0;
  VirtualProtect(slot, sizeof *slot, oldProtection, &ignored);
  FlushInstructionCache(GetCurrentProcess(), slot, sizeof *slot);
  return true;
}

}  // namespace

void** FindImportSlot(HMODULE module, const char* dll, const char* function) {
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = At<const IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (directory.VirtualAddress == 0) return nullptr;

  for (auto* descriptor = At<const IMAGE_IMPORT_DESCRIPTOR>(module, directory.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (lstrcmpiA(At<const char>(module, descriptor->Name), dll) != 0) continue;
    // The name table lists what was imported; the address table, in the
    // same order, holds where each import was bound.
    const DWORD names =
        descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    auto* name = At<const IMAGE_THUNK_DATA>(module, names);
    auto* address = At<IMAGE_THUNK_DATA>(module, descriptor->FirstThunk);
    for (; name->u1.AddressOfData != 0; ++name, ++address) {
      if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
      const auto* byName =
          At<const IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(name->u1.AddressOfData));
      if (lstrcmpA(reinterpret_cast<const char*>(byName->Name), function) == 0) {
        return reinterpret_cast<void**>(&address->u1.Function);
      }
    }
  }
  return nullptr;
}

ImportPatch::ImportPatch(HMODULE module, const char* dll, const char* function,
                         const void* replacement) {
  void** slot = FindImportSlot(module, dll, function);
  if (slot == nullptr) return;
  const void* original = *slot;
  if (!WriteSlot(slot, replacement)) return;
  slot_ = slot;
  original_ = original;
}

ImportPatch::~ImportPatch() {
  if (slot_ != nullptr) WriteSlot(slot_, original_);
}

const void* ImportHookSet::AddRaw(HMODULE module, const char* dll, const char* function,
                                  const void* hook) {
  auto patch = std::make_unique<ImportPatch>(module, dll, function, hook);
  if (!patch->ok()) return nullptr;
  const void* original = patch->original();
  patches_.push_back(std::move(patch));
  return original;
}

void ImportHookSet::Clear() {
  while (!patches_.empty()) patches_.pop_back();
}
