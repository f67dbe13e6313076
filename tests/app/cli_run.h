#pragma once
// The console program run from the tests through a shell, never with a terminal for input.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

#include "app/engine/updater_engine.h"
#include "tests/support/run_program.h"

namespace quendal::test {

// The demo and the sensor updates belong to the comm-device build.
inline bool CommDeviceBuild() {
  return ThisBuild().targetType == kTypeDigitalSensor;
}

inline std::string CliCommand(const std::string& args) {
  // Questions must never wait for a terminal.
  return ShellQuote(QUENDAL_CLI_PATH) + " " + args + " </dev/null";
}

// Standard output and error together.
inline ProgramRun Cli(const std::string& args) {
  return RunProgram(CliCommand(args));
}

// Standard output alone.
inline ProgramRun CliStdout(const std::string& args) {
  return RunProgram("(" + CliCommand(args) + " 2>/dev/null)");
}

// Every line must be one JSON object with an "event".
inline std::vector<nlohmann::json> Events(const std::string& output) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
    if (event.is_discarded()) continue;
    EXPECT_TRUE(event.contains("event")) << line;
    events.push_back(event);
  }
  return events;
}

}  // namespace quendal::test
