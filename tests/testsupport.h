#pragma once
// Helpers shared by the test suites.
#include <string>

namespace pixoran::testing {

// A fresh empty folder under the system temporary folder, removed at exit.
std::string MakeTempDir(const std::string& tag);

}  // namespace pixoran::testing
