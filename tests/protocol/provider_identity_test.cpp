#include "protocol/provider_identity.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>

// The braced text is what registration writes and hosts read back; it must
// name the very class that DllGetClassObject answers for.
TEST(ProviderIdentityTest, ClassIdTextIsTheClassIdInRegistryForm) {
  wchar_t text[40] = {};
  ASSERT_EQ(StringFromGUID2(ProviderClassId, text, 40), 39);
  EXPECT_EQ(std::wstring(text), std::wstring(ProviderClassIdText));

  CLSID parsed = {};
  ASSERT_EQ(CLSIDFromString(ProviderClassIdText, &parsed), S_OK);
  EXPECT_TRUE(IsEqualCLSID(parsed, ProviderClassId));
}

TEST(ProviderIdentityTest, DllNameFollowsTheArchitecture) {
  EXPECT_EQ(std::wstring(ProviderDllName),
            sizeof(void*) == 8 ? L"KestrovAmsi64.dll" : L"KestrovAmsi32.dll");
}
