#include "app/engine/type_texts.h"

#include <iterator>

#include "loader/device_types.h"

namespace quendal {
namespace {

constexpr TypeTexts Notice(const char* caption, const char* text) {
  TypeTexts row;
  row.noticeCaption = caption;
  row.noticeText = text;
  return row;
}

constexpr TypeTexts kNone{};

constexpr TypeTexts kThermix =
    Notice("Thermix Calibration",
           "The calibration of your Thermix is outdated or missing.\n\n"
           "Please contact Orvelle or your authorized Orvelle representative\n"
           "to have your Thermix calibrated.");

constexpr TypeTexts Lumaro() {
  TypeTexts row =
      Notice("Please Calibrate Your Lumaro",
             "Updating the firmware in your Lumaro requires you to calibrate\n"
             "the internal sensors using the external sensor as a reference.\n\n"
             "Please see your Lumaro user manual for probe calibration instructions.\n\n"
             "Please also reset the Daylight Savings setting in your Lumaro.");
  row.connectHint =
      " is running firmware version older than 2.00, please make"
      "\nsure the Lumaro baud rate is set to 9600 (see the Setup menu of your Lumaro).";
  return row;
}

constexpr TypeTexts kPervane =
    Notice("Please Calibrate Your Vadizazud",
           "Updating the firmware in your Pervane requires you to calibrate\n"
           "the the sensor head using the Orvelle-supplied calibration plate.\n\n"
           "Please see the Pervane user manual (version 7 or newer) for\n"
           "calibration instructions. The latest user manual is available for download from:\n"
           "https://www.orvelle.com/support/literature/");

constexpr TypeTexts CorvelV() {
  TypeTexts row;
  row.checksRunningTest = true;
  return row;
}

// clang-format off
constexpr TypeTexts kRows[] = {
  /* UNKNOWN  */ kNone,    /* TARN   */ kNone,     /* TARNB  */ kNone,   /* TARNX   */ kNone,
  /* WST      */ kNone,    /* MRK    */ kNone,     /* CVMINI */ kNone,   /* THX     */ kThermix,
  /* LUMA     */ Lumaro(), /* PRV    */ kPervane,  /* KYREL-SX */ kNone, /* SRBX    */ kNone,
  /* CVTRI    */ kNone,    /* KCD    */ kNone,     /* RDV    */ kNone,   /* CVFOUR  */ kNone,
  /* CVV      */ CorvelV(), /* POTEX */ kNone,     /* RLM    */ kNone,   /* OGL     */ kNone,
  /* CVQ      */ kNone,    /* VINEX  */ kNone,     /* CVFTDL */ kNone,
};
// clang-format on
static_assert(std::size(kRows) == kLastDeviceType + 1);

}  // namespace

const TypeTexts& TypeTextsOf(int type) {
  return kRows[type >= 0 && type <= kLastDeviceType ? type : kTypeUnknown];
}

}  // namespace quendal
