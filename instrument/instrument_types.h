#pragma once
// What the instrument layer knows of each device type, one row per type: how its settings
// are kept, captured and filed, and which shell commands it takes. The loader's facts of a
// type (layout, waits, updatable versions) are its row in loader/device_types.cpp; the
// texts the operator reads about a type are its row in app/engine/type_texts.cpp.
#include <cstdint>

namespace quendal {

// The calibration list a type keeps beside its other settings.
enum class CalForm : std::uint8_t {
  kNone,
  kCalList,  // "-cal N" for slots 0 to 19, filed as cal00 on
  kVinex,    // "-cal7" and "-calA", filed as cal01 and cal02
};

// How a type's settings are captured, restored and written to its settings file.
enum class SettingsForm : std::uint8_t {
  kNone,         // nothing is saved
  kLoggerFull,   // a data logger through DeviceSettings, the full logger file layout
  kLoggerTarnb,  // a data logger with the Tarnb file layout
  kLoggerWst,    // a data logger with the Weirstead file layout
  kSensor,       // a digital sensor through the SDI-12 layer
  kInstrument,   // an instrument's own settings through GetInstInfo and SetInstInfo
};

struct InstrumentTypeRow {
  SettingsForm form = SettingsForm::kNone;
  // Its clock is set with "set -seconds" rather than the date and time commands.
  bool secondsClock = false;
  // Its stored data is erased with "yes" (a logger erases through the logger library).
  bool erasesWithYes = false;
  // The settings a capture asks for (and so a restore writes back): SettingsBit for a
  // logger, InstrumentBit for an instrument.
  std::uint32_t capture = 0;
  // Added to the capture from firmware `newerFrom` on.
  std::uint32_t newerCapture = 0;
  std::uint32_t newerFrom = 0;
  // That firmware version is the identity's (the profile's), not the one the info reports.
  bool newerByIdentity = false;
  // The Corvel Four family: "pvuser" for the user values, a config that carries a sum over
  // the serial number, and files that always carry the tau and hadj pair.
  bool corvelFourSettings = false;
  CalForm cal = CalForm::kNone;
  // Its sensor type is set to '0' before a capture, which reads some settings only so.
  bool zeroSensorBeforeCapture = false;
  // A file without the mask line has numbers that were never read (the contrast of older
  // writers): they are taken only when the mask names them.
  bool numbersNeedMask = false;
  // The settings file's type line, any of which the reader accepts; the writer writes the
  // type's own name.
  const char* typeLines[3] = {nullptr, nullptr, nullptr};
};

// The row of a type; the unknown type's (nothing saved) outside 0..22.
const InstrumentTypeRow& InstrumentType(int type);

inline bool IsLoggerForm(SettingsForm form) {
  return form == SettingsForm::kLoggerFull || form == SettingsForm::kLoggerTarnb ||
         form == SettingsForm::kLoggerWst;
}

}  // namespace quendal
