// <regex> for the tests that match text written by our writers and logs.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
// GCC 12 at -O1 with the sanitizers takes a std::function moved inside the
// regex compiler's own states for uninitialised: a false positive in the header.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#else
#include <regex>
#endif
