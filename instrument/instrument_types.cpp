#include "instrument/instrument_types.h"

#include <iterator>

#include "instrument/instrument_session.h"
#include "loader/device_types.h"
#include "logger/maintenance.h"

namespace quendal {
namespace {

using F = SettingsForm;

// Every logger setting but the radio's version, which is read and never written back.
constexpr std::uint32_t kLoggerEverything = ((kSetAdc15 << 1) - 1) & ~kSetRadioVersion;
constexpr std::uint32_t kTarnbSettings =
    kSetName | kSetSerialNumber | kSetIdentity | kSetWake | kSetPorts | kSetPadc | kSetBuild;
constexpr std::uint32_t kWstSettings = kSetName | kSetSerialNumber | kSetIdentity |
                                       kSetDataParameter | kSetRadioChannel | kSetRadioSubchannel;

constexpr std::uint32_t kSerialAndConfig = kInstSerialNumber | kInstConfig;
constexpr std::uint32_t kCorvelFourSettings =
    kSerialAndConfig | kInstUserRecords | kInstEqnRecords | kInstTadj;

// The writer names an Ogle logger by its own type name; older readers knew only the other two.
constexpr const char* kLoggerFullLines[3] = {"type=\"Tarnx\"", "type=\"Relmo\"", "type=\"Ogle\""};

constexpr InstrumentTypeRow Row(F form, bool seconds, bool yes, std::uint32_t capture,
                                const char* line, const char* other = nullptr) {
  InstrumentTypeRow row;
  row.form = form;
  row.secondsClock = seconds;
  row.erasesWithYes = yes;
  row.capture = capture;
  row.typeLines[0] = line;
  row.typeLines[1] = other;
  return row;
}

constexpr InstrumentTypeRow Newer(InstrumentTypeRow row, std::uint32_t bits, std::uint32_t from,
                                  bool byIdentity) {
  row.newerCapture = bits;
  row.newerFrom = from;
  row.newerByIdentity = byIdentity;
  return row;
}

constexpr InstrumentTypeRow CorvelFour(InstrumentTypeRow row, bool zeroSensor) {
  row.corvelFourSettings = true;
  row.zeroSensorBeforeCapture = zeroSensor;
  return row;
}

constexpr InstrumentTypeRow WithCal(InstrumentTypeRow row, CalForm cal) {
  row.cal = cal;
  return row;
}

constexpr InstrumentTypeRow NumbersNeedMask(InstrumentTypeRow row) {
  row.numbersNeedMask = true;
  return row;
}

constexpr InstrumentTypeRow LoggerFull() {
  InstrumentTypeRow row = Row(F::kLoggerFull, false, false, kLoggerEverything, nullptr);
  for (int i = 0; i < 3; ++i) row.typeLines[i] = kLoggerFullLines[i];
  return row;
}

// clang-format off
constexpr InstrumentTypeRow kRows[] = {
  /* UNKNOWN  */ Row(F::kNone, false, false, 0, nullptr),
  /* TARN     */ Row(F::kNone, false, false, 0, nullptr),
  /* TARNB    */ Row(F::kLoggerTarnb, false, false, kTarnbSettings, "type=\"Tarnb\""),
  /* TARNX    */ LoggerFull(),
  /* WST      */ Row(F::kLoggerWst, false, false, kWstSettings, "type=\"Weirstead\""),
  /* MRK      */ Row(F::kNone, false, false, 0, nullptr),
  /* CVMINI   */ Row(F::kInstrument, false, false,
                     kInstSerialNumber | kInstLanguage | kInstContrast | kInstFvals | kInstUvals |
                         kInstHadjTau,
                     "type=\"CVMINI\""),
  /* THX      */ Row(F::kInstrument, false, true,
                     kInstSerialNumber | kInstContrast | kInstUnits | kInstAdc | kInstSample,
                     "type=\"THX\""),
  /* LUMA     */ NumbersNeedMask(Newer(Row(F::kInstrument, true, true,
                                           kInstAdcCal | kInstLocation | kInstChai | kInstExt,
                                           "type=\"LUMA\""),
                                       kInstSerialNumber | kInstContrast | kInstConfig, 200,
                                       true)),
  /* PRV      */ Row(F::kInstrument, false, true,
                     kInstSerialNumber | kInstContrast | kInstFvals | kInstUnits,
                     "type=\"HLM\"", "type=\"PRV\""),
  /* KYREL-SX */ Row(F::kSensor, false, false, 0, "type=\"Digital Sensor\""),
  /* SRBX     */ Row(F::kInstrument, true, true,
                     kInstSerialNumber | kInstAdcCal | kInstWtOffset | kInstP1Offset |
                         kInstAutosec | kInstWtFactory | kInstSys,
                     "type=\"SRBX\""),
  /* CVTRI    */ Row(F::kInstrument, false, false, kInstAdcCal | kInstConfig, "type=\"CVTRI\""),
  /* KCD      */ Row(F::kInstrument, false, false, kInstName | kInstSerialNumber,
                     "type=\"KCD\""),
  /* RDV      */ WithCal(Row(F::kInstrument, false, true,
                             kInstName | kInstSerialNumber | kInstContrast | kInstAdc15 |
                                 kInstAdc30 | kInstCalList,
                             "type=\"RDV\""),
                         CalForm::kCalList),
  /* CVFOUR   */ CorvelFour(Newer(Row(F::kInstrument, true, true, kCorvelFourSettings,
                                      "type=\"CVFOUR\""),
                                  kInstUvals, 205, false),
                            true),
  /* CVV      */ Row(F::kInstrument, true, true,
                     kSerialAndConfig | kInstPValues | kInstUserRecords | kInstTadj,
                     "type=\"CVV\""),
  /* POTEX    */ Row(F::kInstrument, false, false, kSerialAndConfig, "type=\"POTEX\""),
  /* RLM      */ LoggerFull(),
  /* OGL      */ LoggerFull(),
  /* CVQ      */ Row(F::kInstrument, false, false, kSerialAndConfig, "type=\"CVQ\""),
  /* VINEX    */ WithCal(Row(F::kInstrument, true, false, kInstSerialNumber | kInstVinexCal,
                             "type=\"BRAVN\"", "type=\"VINEX\""),
                         CalForm::kVinex),
  /* CVFTDL   */ CorvelFour(Row(F::kInstrument, true, true, kCorvelFourSettings,
                                "type=\"CVFTDL\""),
                            false),
};
// clang-format on
static_assert(std::size(kRows) == kLastDeviceType + 1);

}  // namespace

const InstrumentTypeRow& InstrumentType(int type) {
  return kRows[type >= 0 && type <= kLastDeviceType ? type : kTypeUnknown];
}

}  // namespace quendal
