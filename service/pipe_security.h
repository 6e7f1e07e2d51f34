// Who may do what with the service's pipe.
//
// The service's own account (the owner) and the system may do everything,
// creating further instances of the pipe included. Everyone else (other
// users, administrators, app containers) may connect, write a request and
// read the verdict, and nothing more: in particular not create instances
// (FILE_CREATE_PIPE_INSTANCE, which is FILE_APPEND_DATA on a pipe, and so
// part of GENERIC_WRITE), change the DACL or take ownership. The
// low-integrity label lets sandboxed processes write their requests too.
#pragma once

#include <windows.h>

// The rights every client gets: reading and writing data, attributes and
// extended attributes, reading the security descriptor, waiting.
constexpr DWORD PipeClientAccess = FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES |
                                   FILE_WRITE_ATTRIBUTES | FILE_READ_EA | FILE_WRITE_EA |
                                   READ_CONTROL | SYNCHRONIZE;

// The security descriptor of the pipe's instances, built once for Start.
class PipeSecurity {
 public:
  PipeSecurity() = default;
  ~PipeSecurity();
  PipeSecurity(const PipeSecurity&) = delete;
  PipeSecurity& operator=(const PipeSecurity&) = delete;

  // False with the error code when the descriptor cannot be built.
  bool Create(DWORD* error);
  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_ = {};
};
