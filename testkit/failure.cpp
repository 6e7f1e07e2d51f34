#include "testkit/failure.h"

#include <cstdio>

namespace {

KitFailureReporter gFailureReporter = nullptr;

}  // namespace

void SetKitFailureReporter(KitFailureReporter reporter) { gFailureReporter = reporter; }

void ReportKitFailure(const std::string& message) {
  if (gFailureReporter != nullptr) {
    gFailureReporter(message);
  } else {
    fprintf(stderr, "%s\n", message.c_str());
  }
}
