// What the loaded image is for and whether the connected device may take it.
#include <cstring>

#include "app/engine/type_texts.h"
#include "app/engine/updater_engine.h"
#include "logger/logger_link.h"

namespace quendal {
namespace {

struct SensorTypeRow {
  std::int32_t code;
  std::int32_t menuCode;  // the code of the menu item that gets the check mark
  const char* path;
};

constexpr SensorTypeRow kSensorTypes[] = {
    {95, 95, "/versionfinder/Kemmo-Firmware.txt"},
    {105, 262, "/versionfinder/Harvo-Firmware.txt"},
    {106, 262, "/versionfinder/Harvo-Firmware.txt"},
    {116, 262, "/versionfinder/Harvo-Firmware.txt"},
    {262, 262, "/versionfinder/Harvo-Firmware.txt"},
    {108, 261, "/versionfinder/FeskoA-Firmware.txt"},
    {121, 261, "/versionfinder/FeskoA-Firmware.txt"},
    {261, 261, "/versionfinder/FeskoA-Firmware.txt"},
    {109, 109, "/versionfinder/Ustra-Firmware.txt"},
    {112, 112, "/versionfinder/Jarro-Firmware.txt"},
    {113, 113, "/versionfinder/Ustra-Firmware.txt"},
    {117, 117, "/versionfinder/Gollo-Firmware.txt"},
    {118, 118, "/versionfinder/Elvan-Firmware.txt"},
    {119, 119, "/versionfinder/Dorro-Firmware.txt"},
    {120, 120, "/versionfinder/Cemmo-Firmware.txt"},
    {122, 122, "/versionfinder/Bremo-Firmware.txt"},
    {260, 260, "/versionfinder/Lurra-Firmware.txt"},
};

}  // namespace

const SensorMenuItem kSensorMenu[12] = {
    {"Bremo", 122},
    {"Cemmo", 120},
    {"Dorro", 119},
    {"Elvan", 118},
    {"Fesko-A && Fesko-B", 261},
    {"Gollo", 117},
    {"Harvo Family", 262},
    {"Ustra", 113},
    {"Ustraf", 109},
    {"Jarro", 112},
    {"Lurra Family", 260},
    {"Kemmo", 95},
};

bool SensorTypeFits(std::int32_t selected, std::uint8_t type) {
  switch (selected) {
    case 260:
      return type == 's' || type == 'r' || type == 'o' || type == 'n';
    case 261:
      return type == 'y' || type == 'l';
    case 262:
      return type == 't' || type == 'j' || type == 'i';
    default:
      return type == selected;
  }
}

void SelectSensorType(UpdaterEngine* engine, std::int32_t code) {
  engine->options.sensorTypeCode = code;
  for (const SensorTypeRow& row : kSensorTypes) {
    if (row.code == code) {
      engine->versionFinderPath = row.path;
      break;
    }
  }
  BoundedText<32> name;
  SensorName(static_cast<std::uint32_t>(code), &name);
  engine->targetDisplayName = name.c_str();
}

std::int32_t CheckedSensorItem(const UpdaterEngine& engine) {
  for (const SensorTypeRow& row : kSensorTypes) {
    if (row.code == engine.options.sensorTypeCode) return row.menuCode;
  }
  return -1;
}

bool CheckFirmwareRange(UpdaterEngine* engine, const DeviceProfile& profile) {
  if (!profile.versionRangeApplies) return true;
  std::string text;
  const std::string head = "The " + engine->WindowCaption() + " doesn't support this " +
                           engine->targetDisplayName + "\nrunning version " +
                           VersionText(profile.version) +
                           ".\n\nThis updater only works with firmware version ";
  if (profile.version > profile.maximumVersion) {
    text = head + VersionText(profile.maximumVersion) + " (or older).";
  } else if (profile.version < profile.minimumVersion) {
    text = head + VersionText(profile.minimumVersion) + " (or newer).";
  } else {
    return true;
  }
  const UpdateOptions& options = Updating(*engine) ? engine->attempt->options : engine->options;
  if (options.openFileAllowed || options.factoryMode) {
    text += "\n\nClick OK to force the update anyway.";
    text += "\nClick CANCEL to quit the updater.";
    return AskOkCancel(engine, text, "Wrong Firmware Version") != kBoxCancel;
  }
  ShowMessageOk(engine, text, "Wrong Firmware Version", kMessageError);
  return false;
}

bool CheckHardwareRevision(UpdaterEngine* engine) {
  const HardwareRule rule = engine->build.hardwareRule;
  if (engine->IsCommDeviceBuild() || rule == HardwareRule::kNone) return true;
  char answer[33] = {};
  std::uint32_t length = 32;
  Status rc =
      DeviceCommand(&engine->session->link, "get -hver\r", '>', 1100, answer, &length, nullptr);
  char revision = 0;
  if (rc >= 1) {
    for (std::uint32_t i = 0; i < 32 && answer[i] != '\0'; ++i) {
      if (answer[i] != ' ' && answer[i] != '\t' && answer[i] != '\r' && answer[i] != '\n') {
        revision = answer[i];
        break;
      }
    }
  }
  const bool refused = rule == HardwareRule::kCOnly ? revision != 'C' : revision == 'C';
  if (!refused) return true;
  const char* required = rule == HardwareRule::kCOnly ? "C" : "A' or 'B";
  const std::string name = engine->targetDisplayName;
  // A revision never read is shown as nothing rather than as a NUL cutting the text.
  std::string shown = revision != 0 ? std::string(1, revision) : std::string();
  ShowMessageOk(engine,
                "The hardware revision of the connected " + name + " is '" + shown + "'" +
                    ".\n\nThis updater only works with " + name + " hardware revision '" +
                    required + "'.",
                "Wrong Hardware Revision", kMessageError);
  return false;
}

void ShowPostUpdateNotice(UpdaterEngine* engine, int deviceType) {
  const TypeTexts& texts = TypeTextsOf(deviceType);
  if (texts.noticeText) {
    ShowMessageOk(engine, texts.noticeText, texts.noticeCaption, kMessageWarning);
  }
}

}  // namespace quendal
