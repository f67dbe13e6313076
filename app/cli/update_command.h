#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace quendal::cli {

struct UpdateRequest {
  std::string port;
  std::string portDescription;
  bool factory = false;
  bool rep = false;
  std::string firmware;
  std::string sensorType;
  std::string newSerialNumber;
  bool dontErase = false;
  std::string answer = "cancel";
  std::string dataDir;
  bool events = false;
  std::string recordFile;  // empty: updates.jsonl in the data folder
};

// quendal-cli update --port NAME [...]
int RunUpdateCommand(const std::vector<std::string_view>& args);
// quendal-cli restore --port NAME --from FILE: a kept settings file back into its unit.
int RunRestoreCommand(const std::vector<std::string_view>& args);
// One update with the engine; the exit status.
int RunUpdateRequest(const UpdateRequest& request);

}  // namespace quendal::cli
