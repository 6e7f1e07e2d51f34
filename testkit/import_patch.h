// Replacing a function that a module imports, in the test process.
//
// Faults that real platform calls cannot be made to produce on demand (an
// allocation that fails, a clock that jumps, a partial write) are injected
// by pointing the module's import slot for that function at a test
// function, and pointing it back afterwards. Only calls that the module
// makes through its import table are affected.
#pragma once

#include <windows.h>

#include <memory>
#include <vector>

class ImportPatch {
 public:
  // Points `module`'s import of `function` from `dll` (matched without
  // regard to case) at `replacement`. ok() tells whether the import exists.
  ImportPatch(HMODULE module, const char* dll, const char* function, const void* replacement);
  ~ImportPatch();
  ImportPatch(const ImportPatch&) = delete;
  ImportPatch& operator=(const ImportPatch&) = delete;

  bool ok() const { return slot_ != nullptr; }
  // The function the slot held before the patch: the real one.
  const void* original() const { return original_; }

 private:
  void** slot_ = nullptr;
  const void* original_ = nullptr;
};

// Finds the import slot of `function` from `dll` in `module`, or null.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// Patches on one module, restored newest first when the set is cleared or
// destroyed, so that a function patched twice ends up real again.
class ImportHookSet {
 public:
  ImportHookSet() = default;
  ~ImportHookSet() { Clear(); }
  ImportHookSet(const ImportHookSet&) = delete;
  ImportHookSet& operator=(const ImportHookSet&) = delete;

  // Points `module`'s import of `function` from `dll` at `hook` and stores
  // the real function, typed like the hook, in `*real`. False when the
  // module does not import it; nothing is patched then.
  template <typename F>
  bool Add(HMODULE module, const char* dll, const char* function, F hook, F* real) {
    const void* original = AddRaw(module, dll, function, reinterpret_cast<const void*>(hook));
    if (original == nullptr) return false;
    *real = reinterpret_cast<F>(const_cast<void*>(original));
    return true;
  }
  // The same, for a hook whose real function is not needed.
  const void* AddRaw(HMODULE module, const char* dll, const char* function, const void* hook);
  void Clear();

 private:
  std::vector<std::unique_ptr<ImportPatch>> patches_;
};
