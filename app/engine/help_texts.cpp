// The Help and About texts.
#include "app/engine/updater_engine.h"
#include "host/program_version.h"

namespace quendal {
namespace {

constexpr const char* kContactBlock =
    "Orvelle Devices, Inc.\n"
    "2210 Foundry Lane\n"
    "Bellmont, WA 99163 USA\n"
    "Phone: 509-555-0142\n"
    "Toll free: 800-555-0187\n"
    "Fax: 509-555-0143\n"
    "E-mail: support@orvelle.com\n"
    "Web: https://www.orvelle.com\n";

constexpr const char* kCopyright = "\xC2\xA9 2008-2026 Orvelle Devices, Inc. All rights reserved.";

}  // namespace

std::string HelpText(const UpdaterEngine& engine) {
  const std::string x = engine.targetDisplayName;
  const std::string w = engine.WindowCaption();
  std::string text = "The " + w + " replaces the firmware that operates your " + x + ".\n";
  text += "Following the simple steps will help ensure a successful update.\n\n";
  if (DeviceTypeEraseWarning(engine.build.targetType)) {
    text += "WARNING: Updating the firmware in your " + x +
            " will erase any stored measurement data.\n" +
            "Please download any measurement data stored in your " + x +
            " that you want to save.\n\n";
  }
  text += "Before beginning these steps, please make sure your instrument is powered on.\n\n";
  text += "Step 1. Connect your " + x + " to an available serial communication port " +
          "on your computer.\n\n";
  text += "Step 2. Select the correct serial port from the Comm Port control.\n\n";
  text += "Step 3. Click the \"Start\" button. The updater shows progress in the Status area.\n\n";
  text += "WARNING: Do not disconnect your " + x +
          " from the computer while the updater is running.\n" +
          "An incomplete firmware update could leave your " + x + " unusable.\n\n";
  text += "WARNING: Do not quit the " + x + " Firmware Updater while the updater is running.\n" +
          "An incomplete firmware update could leave your " + x + " unusable.\n\n";
  text += "Step 4. Once the update is complete, you can disconnect your " + x +
          " from the computer.\n" + "Please verify your " + x + " configuration is correct. " +
          "Enjoy using the updated firmware version.\n\n";
  text += "If you have trouble with this " + x + " Firmware Updater, Please contact Orvelle or\n" +
          "an authorized Orvelle Distributor for help:\n\n" + kContactBlock;
  return text;
}

std::string AboutText(const UpdaterEngine& engine) {
  // The system it runs on: the Windows build's text stands as it always was.
  std::string text = "Orvelle Universal Firmware Updater for ";
  text += OperatingSystemName();
  return text + "\n\n" + "Quendal Engine version " + engine.build.engineVersion +
         "\nCommunication Protocol version " + "1.7.9" + "\n\n" + kCopyright;
}

std::string AboutCaption(const UpdaterEngine& engine) {
  return "About " + engine.targetDisplayName + " Firmware Updater";
}

void ShowHelp(UpdaterEngine* engine) {
  ShowMessageOk(engine, HelpText(*engine), "Help", kMessagePlain);
}

void ShowAbout(UpdaterEngine* engine) {
  ShowMessageOk(engine, AboutText(*engine), AboutCaption(*engine), kMessageInformation);
}

}  // namespace quendal
