#pragma once
// The names a person reads for the keys of the settings file, for `info`'s text.
#include <string>
#include <string_view>

namespace quendal::cli {

// "SDI-12 address" for "address", "Calibration 3" for "cal03"; a key without a name of its
// own is shown as it stands.
std::string SettingLabel(std::string_view key);

// Keys that are the file's own bookkeeping (which reads succeeded, the address again as a
// number), not settings of the device: left out of the text, kept in the events.
bool IsBookkeepingKey(std::string_view key);

}  // namespace quendal::cli
