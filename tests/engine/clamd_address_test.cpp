#include "service/engine/clamd_address.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct AddressCase {
  const char* name;
  const char* text;
  bool allowRemote;
  bool valid;
  int family;          // when valid
  const char* host;    // when valid: the address InetNtop gives
  unsigned short port; // when valid
  const char* errorPart;  // when not valid: part of the error text
};

void PrintTo(const AddressCase& c, std::ostream* out) { *out << c.name; }

class ClamdAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(ClamdAddressTest, ParsesOrSaysWhy) {
  const AddressCase& c = GetParam();
  ClamdAddress address;
  std::string error;
  const bool parsed = ParseClamdAddress(std::string(c.text), c.allowRemote, &address, &error);
  ASSERT_EQ(parsed, c.valid) << error;
  if (!c.valid) {
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    EXPECT_NE(error.find(c.text), std::string::npos) << "the error names the value: " << error;
    EXPECT_EQ(address.length, 0) << "nothing is written on failure";
    return;
  }
  EXPECT_EQ(address.text, c.text);
  ASSERT_EQ(address.address.ss_family, c.family);
  char host[64] = {};
  if (c.family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address.address);
    EXPECT_EQ(address.length, static_cast<int>(sizeof(sockaddr_in)));
    EXPECT_EQ(ntohs(v4->sin_port), c.port);
    InetNtopA(AF_INET, &v4->sin_addr, host, sizeof host);
  } else {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address.address);
    EXPECT_EQ(address.length, static_cast<int>(sizeof(sockaddr_in6)));
    EXPECT_EQ(ntohs(v6->sin6_port), c.port);
    InetNtopA(AF_INET6, &v6->sin6_addr, host, sizeof host);
  }
  EXPECT_STREQ(host, c.host);
}

const char* const NotLoopback = "not a loopback address";
const char* const BadHost = "the host must be";
const char* const BadPort = "no valid port";

INSTANTIATE_TEST_SUITE_P(
    Cases, ClamdAddressTest,
    testing::Values(
        AddressCase{"Loopback", "127.0.0.1:3310", false, true, AF_INET, "127.0.0.1", 3310, ""},
        AddressCase{"OtherLoopback", "127.1.2.3:1", false, true, AF_INET, "127.1.2.3", 1, ""},
        AddressCase{"Localhost", "localhost:65535", false, true, AF_INET, "127.0.0.1", 65535, ""},
        AddressCase{"Ipv6Loopback", "[::1]:3310", false, true, AF_INET6, "::1", 3310, ""},
        AddressCase{"Ipv6MappedLoopback", "[::ffff:127.0.0.1]:3310", false, true, AF_INET6,
                    "::ffff:127.0.0.1", 3310, ""},
        AddressCase{"RemoteRefused", "192.168.1.10:3310", false, false, 0, "", 0, NotLoopback},
        AddressCase{"AnyRefused", "0.0.0.0:3310", false, false, 0, "", 0, NotLoopback},
        AddressCase{"RemoteAllowed", "192.168.1.10:3310", true, true, AF_INET, "192.168.1.10",
                    3310, ""},
        AddressCase{"Ipv6RemoteRefused", "[2001:db8::5]:3310", false, false, 0, "", 0,
                    NotLoopback},
        AddressCase{"Ipv6RemoteAllowed", "[2001:db8::5]:3310", true, true, AF_INET6,
                    "2001:db8::5", 3310, ""},
        AddressCase{"MappedRemoteRefused", "[::ffff:10.0.0.1]:3310", false, false, 0, "", 0,
                    NotLoopback},
        AddressCase{"NoPort", "127.0.0.1", false, false, 0, "", 0, "has no port"},
        AddressCase{"EmptyPort", "127.0.0.1:", false, false, 0, "", 0, BadPort},
        AddressCase{"PortZero", "127.0.0.1:0", false, false, 0, "", 0, BadPort},
        AddressCase{"PortTooLarge", "127.0.0.1:65536", false, false, 0, "", 0, BadPort},
        AddressCase{"PortLeadingZero", "127.0.0.1:03310", false, false, 0, "", 0, BadPort},
        AddressCase{"PortSigned", "127.0.0.1:+3310", false, false, 0, "", 0, BadPort},
        AddressCase{"PortNotANumber", "127.0.0.1:clamd", false, false, 0, "", 0, BadPort},
        AddressCase{"NoHost", ":3310", false, false, 0, "", 0, "has no host"},
        AddressCase{"HostName", "clamd.example:3310", true, false, 0, "", 0, BadHost},
        AddressCase{"ThreeParts", "127.0.1:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"FiveParts", "127.0.0.1.1:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"PartTooLarge", "127.0.0.256:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"OctalLooking", "127.0.0.01:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"EmptyPart", "127..0.1:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"Blank", " 127.0.0.1:3310", false, false, 0, "", 0, BadHost},
        AddressCase{"Ipv6Unbracketed", "::1:3310", false, false, 0, "", 0, "in brackets"},
        AddressCase{"Ipv6Unclosed", "[::1:3310", false, false, 0, "", 0, "closing"},
        AddressCase{"Ipv6Invalid", "[::g]:3310", false, false, 0, "", 0, "invalid IPv6"},
        AddressCase{"Ipv6Zone", "[::1%1]:3310", false, false, 0, "", 0, "invalid IPv6"},
        AddressCase{"Ipv6Empty", "[]:3310", false, false, 0, "", 0, "invalid IPv6"}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

TEST(ClamdAddressWideTest, TakesAsciiAndRefusesTheRest) {
  ClamdAddress address;
  std::string error;
  EXPECT_TRUE(ParseClamdAddress(std::wstring(L"127.0.0.1:3310"), false, &address, &error)) << error;
  EXPECT_EQ(address.text, "127.0.0.1:3310");
  ClamdAddress refused;
  EXPECT_FALSE(ParseClamdAddress(std::wstring(L"127.0.0.\x0661:3310"), false, &refused, &error));
  EXPECT_NE(error.find("not printable ASCII"), std::string::npos) << error;
}

}  // namespace
