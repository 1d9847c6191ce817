// Helpers for death tests that check a process's exact last words.
#pragma once

#include <functional>
#include <string>

namespace testsupport {

// An extended regular expression that matches exactly `text`.
std::string ExactRegex(const std::string& text);

// Call first in a death-test statement: the child ends through exit() with
// objects still alive on its stack, which is not a leak.
void InDeathChild();

// Expects `statement` to end the process as the collection library's fatal handler does.
void ExpectLibraryDeath(const std::function<void()>& statement, const std::string& text);

}  // namespace testsupport
