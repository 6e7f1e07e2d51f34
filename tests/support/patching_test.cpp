#include "tests/support/patching_test.h"

const void* PatchingTest::PatchRaw(const char* dll, const char* function, const void* hook) {
  auto* patch = new ImportPatch(moduleUnderTest, dll, function, hook);
  if (!patch->ok()) {
    delete patch;
    ADD_FAILURE() << "no import of " << function << " from " << dll;
    return nullptr;
  }
  patches_.push_back(patch);
  return patch->original();
}

void PatchingTest::RestorePatches() {
  // Newest first, so that a function patched twice ends up real again.
  for (auto it = patches_.rbegin(); it != patches_.rend(); ++it) delete *it;
  patches_.clear();
}
