// A GoogleTest fixture over the kit's import patches: patches the module under test and
// undoes every patch when the test ends.
#pragma once

#include "testkit/import_patch.h"

#include <gtest/gtest.h>


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
  void RestorePatches() { patches_.Clear(); }
  void TearDown() override { RestorePatches(); }

  HMODULE moduleUnderTest = GetModuleHandleW(nullptr);

 private:
  const void* PatchRaw(const char* dll, const char* function, const void* hook);
  ImportHookSet patches_;
};
