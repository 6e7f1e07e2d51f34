// Replacing a function that a module imports, in the test process.
//
// Faults that real platform calls cannot be made to produce on demand (an
// allocation that fails, a clock that jumps, a partial write) are injected
// by pointing the module's import slot for that function at a test
// function, and pointing it back afterwards. Only calls that the module
// makes through its import table are affected.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

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

// Fixture that patches the module under test (by default the test program
// itself, into which the scan code is linked) and restores every patch in
// TearDown, whatever the test did.
class PatchingTest : public ::testing::Test {
 protected:
  // Patches `function` of `dll` with `hook` and returns the real function,
  // typed like the hook. Fails the test if the import does not exist.
  template <typename F>
  F Patch(const char* dll, const char* function, F hook) {
    return reinterpret_cast<F>(
        const_cast<void*>(PatchRaw(dll, function, reinterpret_cast<const void*>(hook))));
  }
  void RestorePatches();
  void TearDown() override { RestorePatches(); }

  HMODULE moduleUnderTest = GetModuleHandleW(nullptr);

 private:
  const void* PatchRaw(const char* dll, const char* function, const void* hook);
  std::vector<ImportPatch*> patches_;
};
