#include "tests/support/patching_test.h"

const void* PatchingTest::PatchRaw(const char* dll, const char* function, const void* hook) {
  const void* original = patches_.AddRaw(moduleUnderTest, dll, function, hook);
  if (original == nullptr) ADD_FAILURE() << "no import of " << function << " from " << dll;
  return original;
}
