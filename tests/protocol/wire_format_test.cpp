#include "protocol/wire_format.h"

#include "testkit/request_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

ScanRequestHeader Valid() {
  return {ScanRequestMagic, ScanRequestVersion, 4242, 10, 20, 30, 0};
}

}  // namespace

// The magic is the four bytes 'K' 'E' 'S' 'T' in that order on the wire.
TEST(WireFormatTest, MagicIsKestInWireOrder) {
  uint8_t bytes[4];
  memcpy(bytes, &ScanRequestMagic, 4);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{'K', 'E', 'S', 'T'}));
}

TEST(WireFormatTest, FieldsLieInDocumentedOrder) {
  const ScanRequestHeader header = {1, 2, 3, 4, 5, 6, 7};
  uint32_t words[7];
  memcpy(words, &header, sizeof words);
  for (uint32_t k = 0; k < 7; ++k) EXPECT_EQ(words[k], k + 1) << "field " << k;
}

struct HeaderCase {
  const char* name;
  void (*change)(ScanRequestHeader*);
  bool valid;
};

class ValidRequestHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(ValidRequestHeaderTest, AcceptsOnlyHeadersWithinTheLimits) {
  ScanRequestHeader header = Valid();
  GetParam().change(&header);
  EXPECT_EQ(IsValidRequestHeader(header), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ValidRequestHeaderTest,
    ::testing::Values(
        HeaderCase{"Valid", [](ScanRequestHeader*) {}, true},
        HeaderCase{"NoNames", [](ScanRequestHeader* h) { h->appNameBytes = h->contentNameBytes = 0; }, true},
        HeaderCase{"NamesAtLimit", [](ScanRequestHeader* h) { h->appNameBytes = h->contentNameBytes = MaxNameBytes; }, true},
        HeaderCase{"AppNameOverLimit", [](ScanRequestHeader* h) { h->appNameBytes = MaxNameBytes + 2; }, false},
        HeaderCase{"ContentNameOverLimit", [](ScanRequestHeader* h) { h->contentNameBytes = MaxNameBytes + 2; }, false},
        HeaderCase{"OddAppName", [](ScanRequestHeader* h) { h->appNameBytes = 3; }, false},
        HeaderCase{"OddContentName", [](ScanRequestHeader* h) { h->contentNameBytes = 5; }, false},
        HeaderCase{"OneContentByte", [](ScanRequestHeader* h) { h->contentBytes = 1; }, true},
        HeaderCase{"NoContent", [](ScanRequestHeader* h) { h->contentBytes = 0; }, false},
        HeaderCase{"ContentAtLimit", [](ScanRequestHeader* h) { h->contentBytes = MaxContentBytes; }, true},
        HeaderCase{"ContentOverLimit", [](ScanRequestHeader* h) { h->contentBytes = MaxContentBytes + 1; }, false},
        HeaderCase{"Truncated", [](ScanRequestHeader* h) { h->truncated = 1; }, true},
        HeaderCase{"TruncatedTwo", [](ScanRequestHeader* h) { h->truncated = 2; }, false},
        HeaderCase{"WrongMagic", [](ScanRequestHeader* h) { h->magic ^= 1; }, false},
        HeaderCase{"WrongVersion", [](ScanRequestHeader* h) { h->version = 2; }, false}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.name); });

TEST(WireFormatTest, LimitsAreEightMebibytesAndOneKibibyte) {
  EXPECT_EQ(MaxContentBytes, 8u * 1024 * 1024);
  EXPECT_EQ(MaxNameBytes, 1024u);
}

// The product's definitions against the kit's independent statement of the
// format, which every test, fuzzer and the benchmark build requests with.
TEST(WireFormatTest, AgreesWithTheIndependentStatement) {
  EXPECT_EQ(ScanRequestMagic, RequestMagic);
  EXPECT_EQ(ScanRequestVersion, RequestVersion);
  EXPECT_EQ(sizeof(ScanRequestHeader), RequestHeaderBytes);
  EXPECT_EQ(MaxNameBytes, RequestMaxNameBytes);
  EXPECT_EQ(MaxContentBytes, RequestMaxContentBytes);

  const ScanRequestHeader product = {ScanRequestMagic, ScanRequestVersion, 0x01020304,
                                     0x0A0B, 0x0C0D, 0x00123456, 1};
  RequestHeader oracle;
  oracle.processId = 0x01020304;
  oracle.appNameBytes = 0x0A0B;
  oracle.contentNameBytes = 0x0C0D;
  oracle.contentBytes = 0x00123456;
  oracle.truncated = 1;
  Bytes bytes(sizeof product);
  memcpy(bytes.data(), &product, sizeof product);
  EXPECT_EQ(bytes, EncodeHeader(oracle));

  const ParsedRequest parsed = ParseRequest(bytes);
  ASSERT_TRUE(parsed.headerComplete);
  EXPECT_EQ(parsed.header.contentBytes, product.contentBytes);
  EXPECT_EQ(parsed.header.processId, product.processId);
}
