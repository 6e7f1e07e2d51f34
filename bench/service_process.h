// The reference scan service, started from this program's directory (the
// provider's directory) for the length of a measurement.
#pragma once

#include "platform/unique_handle.h"

#include <windows.h>

#include <string>

class ServiceProcess {
 public:
  ServiceProcess() = default;
  ~ServiceProcess() { Stop(); }
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts KestrovScanService.exe with `--log NUL` and the rules file and
  // returns once its pipe exists. False if it did not come up.
  bool Start(const std::wstring& signaturesPath);
  // Ends the process and waits until it has gone, and its pipe with it.
  void Stop();

  HANDLE process() const { return process_.get(); }
  // PagefileUsage (private bytes) now and at its peak, or 0.
  SIZE_T PrivateBytes() const;
  SIZE_T PeakPrivateBytes() const;

 private:
  UniqueKernelHandle process_;
};

// A rules file in the temporary directory with one rule for
// DetectionMarker; deleted again by the destructor.
class MarkerRulesFile {
 public:
  MarkerRulesFile();
  ~MarkerRulesFile();
  MarkerRulesFile(const MarkerRulesFile&) = delete;
  MarkerRulesFile& operator=(const MarkerRulesFile&) = delete;

  bool ok() const { return ok_; }
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
  bool ok_ = false;
};
