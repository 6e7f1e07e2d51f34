// How the kit reports a failure that it cannot simply return: a test
// program hands it to its test framework (tests/support does so for
// GoogleTest), every other program prints it.
#pragma once

#include <string>

using KitFailureReporter = void (*)(const std::string& message);

// Replaces the reporter; null restores printing to standard error.
void SetKitFailureReporter(KitFailureReporter reporter);
void ReportKitFailure(const std::string& message);
