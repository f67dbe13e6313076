#pragma once
// Every test program and every program a test starts runs in folders of its own: home,
// runtime folder (where simulated devices put their links), data folder and preference
// store, made fresh when the test program starts and removed when it ends. Port lists in
// here show only the simulated devices a test started, never a port the machine has.
#include <string>
#include <vector>

namespace quendal::test {

// Makes the folders and points the environment at them; once per process, before any
// test runs. False when no folder could be made.
bool EnterHermeticEnvironment();
// Removes what EnterHermeticEnvironment made.
void LeaveHermeticEnvironment();
// The root of this process's folders ("" before EnterHermeticEnvironment).
const std::string& HermeticRoot();

// The environment a child program gets: this process's hermetic variables and the few
// that running a program needs (PATH, locale, Qt platform, sanitizer options), nothing
// else of the caller's. As NAME=VALUE strings.
std::vector<std::string> ChildEnvironment();

}  // namespace quendal::test
