#pragma once
// What the engine says and checks of each device type beyond the lower layers' rows: one row
// per type. The loader's facts of a type are in loader/device_types.cpp, the instrument
// layer's in instrument/instrument_types.cpp.

namespace quendal {

struct TypeTexts {
  // The notice after an update that needs a calibration (caption and text), or null.
  const char* noticeCaption = nullptr;
  const char* noticeText = nullptr;
  // Added after the device's name when the connect hears nothing, or null.
  const char* connectHint = nullptr;
  // Refuses the update while the device runs a test ("ping -stat").
  bool checksRunningTest = false;
};

// The row of a type; an empty row for a type without texts of its own.
const TypeTexts& TypeTextsOf(int type);

}  // namespace quendal
