// Failures that the kit reports (testkit/failure.h) become failures of the
// running test in every test program.
#include "testkit/failure.h"

#include <gtest/gtest.h>

namespace {

void AddTestFailure(const std::string& message) { ADD_FAILURE() << message; }

// Installed before main runs: test programs link this file's object.
const bool gReporterInstalled = (SetKitFailureReporter(AddTestFailure), true);

}  // namespace
