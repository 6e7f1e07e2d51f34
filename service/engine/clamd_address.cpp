#include "service/engine/clamd_address.h"

#include <cstring>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// A decimal number of at most `maxDigits` digits without a leading zero
// (other than "0" itself); false for anything else.
bool ParseDecimal(const std::string& text, size_t maxDigits, unsigned long* value) {
  if (text.empty() || text.size() > maxDigits) return false;
  if (text.size() > 1 && text[0] == '0') return false;
  unsigned long result = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    result = result * 10 + static_cast<unsigned long>(c - '0');
  }
  *value = result;
  return true;
}

bool ParseIpv4(const std::string& text, BYTE (&octets)[4]) {
  size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = text.find('.', start);
    if (part == 3) {
      if (end != std::string::npos) return false;
      end = text.size();
    } else if (end == std::string::npos) {
      return false;
    }
    unsigned long value = 0;
    if (!ParseDecimal(text.substr(start, end - start), 3, &value) || value > 255) return false;
    octets[part] = static_cast<BYTE>(value);
    start = end + 1;
  }
  return true;
}

bool IsLoopbackIpv6(const in6_addr& address) {
  const BYTE* b = address.s6_addr;
  static const BYTE loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (memcmp(b, loopback, 16) == 0) return true;
  // An IPv4-mapped loopback address, ::ffff:127.x.y.z.
  static const BYTE mapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return memcmp(b, mapped, 12) == 0 && b[12] == 127;
}

}  // namespace

bool ParseClamdAddress(const std::string& text, bool allowRemote, ClamdAddress* address,
                       std::string* error) {
  const std::string quoted = "clamd address '" + text + "'";
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    *error = quoted + " has no port (expected HOST:PORT)";
    return false;
  }
  const std::string host = text.substr(0, colon);
  const std::string portText = text.substr(colon + 1);
  unsigned long port = 0;
  if (!ParseDecimal(portText, 5, &port) || port == 0 || port > 65535) {
    *error = quoted + " has no valid port (expected a number from 1 to 65535)";
    return false;
  }
  if (host.empty()) {
    *error = quoted + " has no host (expected HOST:PORT)";
    return false;
  }

  ClamdAddress parsed;
  memset(&parsed.address, 0, sizeof parsed.address);
  bool loopback = false;
  if (host.front() == '[') {
    if (host.back() != ']') {
      *error = quoted + " has an IPv6 address without its closing ']'";
      return false;
    }
    const std::string inner = host.substr(1, host.size() - 2);
    sockaddr_in6 v6;
    memset(&v6, 0, sizeof v6);
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(static_cast<u_short>(port));
    // Only hex digits, colons and dots belong in an IPv6 address; a zone
    // ("%eth0") is no loopback and is not accepted.
    for (const char c : inner) {
      const bool hex = IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!hex && c != ':' && c != '.') {
        *error = quoted + " has an invalid IPv6 address";
        return false;
      }
    }
    if (InetPtonA(AF_INET6, inner.c_str(), &v6.sin6_addr) != 1) {
      *error = quoted + " has an invalid IPv6 address";
      return false;
    }
    loopback = IsLoopbackIpv6(v6.sin6_addr);
    memcpy(&parsed.address, &v6, sizeof v6);
    parsed.length = sizeof v6;
  } else {
    if (host.find(':') != std::string::npos) {
      *error = quoted + ": an IPv6 address goes in brackets, as [::1]:3310";
      return false;
    }
    BYTE octets[4] = {127, 0, 0, 1};
    if (host != "localhost" && !ParseIpv4(host, octets)) {
      *error = quoted + ": the host must be an IPv4 address such as 127.0.0.1, localhost, " +
               "or an IPv6 address in brackets (names are not looked up)";
      return false;
    }
    sockaddr_in v4;
    memset(&v4, 0, sizeof v4);
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<u_short>(port));
    memcpy(&v4.sin_addr, octets, 4);
    loopback = octets[0] == 127;
    memcpy(&parsed.address, &v4, sizeof v4);
    parsed.length = sizeof v4;
  }
  if (!loopback && !allowRemote) {
    *error = quoted + " is not a loopback address; clamd's connection is neither encrypted " +
             "nor authenticated, so a remote clamd needs --clamd-allow-remote";
    return false;
  }
  parsed.text = text;
  *address = parsed;
  return true;
}

bool ParseClamdAddress(const std::wstring& text, bool allowRemote, ClamdAddress* address,
                       std::string* error) {
  std::string narrow;
  for (const wchar_t c : text) {
    if (c < 0x20 || c > 0x7E) {
      *error = "clamd address has a character that is not printable ASCII";
      return false;
    }
    narrow.push_back(static_cast<char>(c));
  }
  return ParseClamdAddress(narrow, allowRemote, address, error);
}
