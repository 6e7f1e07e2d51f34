// Where clamd listens: "HOST:PORT" as given with --clamd.
//
//   HOST  an IPv4 address in dotted decimal (four numbers 0..255, no leading
//         zeros), "localhost" (127.0.0.1, never looked up), or an IPv6
//         address in brackets ("[::1]:3310")
//   PORT  a decimal number 1..65535
//
// Host names are not resolved: the address is fixed when the service
// starts. clamd's TCP socket is neither encrypted nor authenticated, so only
// a loopback address (127.0.0.0/8, ::1, or ::ffff:127.x.y.z) is accepted
// unless `allowRemote` is set (--clamd-allow-remote).
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <string>

struct ClamdAddress {
  sockaddr_storage address{};  // a sockaddr_in or sockaddr_in6
  int length = 0;            // of `address`; 0 when nothing was parsed
  std::string text;          // as given, for the log
};

// Parses `text`; on failure returns false with `error` saying why, as a
// sentence that names the option's value.
bool ParseClamdAddress(const std::string& text, bool allowRemote, ClamdAddress* address,
                       std::string* error);
// The same for a command-line value (UTF-16; only ASCII can be valid).
bool ParseClamdAddress(const std::wstring& text, bool allowRemote, ClamdAddress* address,
                       std::string* error);
