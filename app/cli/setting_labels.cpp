#include "app/cli/setting_labels.h"

#include <iterator>

namespace quendal::cli {
namespace {

struct Label {
  std::string_view key;
  std::string_view label;
};

constexpr Label kLabels[] = {
    // every device
    {"type", "Type"},
    {"name", "Name"},
    {"sn", "Serial number"},
    {"OrveBuild", "Firmware build"},
    // digital sensors
    {"identity", "Identification"},
    {"address", "SDI-12 address"},
    {"calibration", "Calibration"},
    {"calibration2", "Second calibration"},
    {"sensorType", "Sensor type code"},
    // data loggers
    {"deviceid", "Device id"},
    {"trait", "Trait"},
    {"wake", "Wake"},
    {"padc", "PADC"},
    {"ports", "Ports"},
    {"depth", "Depths"},
    {"rmode", "Radio mode"},
    {"rch", "Radio channel"},
    {"rsch", "Radio subchannel"},
    {"data", "Data parameter"},
    {"site", "Site"},
    {"lat", "Latitude"},
    {"lon", "Longitude"},
    {"timezone", "Time zone (quarter hours from UTC)"},
    {"report", "Report mode"},
    {"apn", "APN"},
    {"user", "APN user"},
    {"passwd", "APN password"},
    {"host", "Host"},
    {"authkey", "Authentication key"},
    {"ipport", "IP port"},
    // the other instruments
    {"lang", "Language"},
    {"contr", "Contrast"},
    {"config", "Configuration"},
    {"fvals", "F values"},
    {"uvals", "U values"},
    {"units", "Units"},
    {"adc", "ADC"},
    {"adccal", "ADC calibration"},
    {"calprefs", "Calibration preferences"},
    {"PCUnits", "PC units"},
    {"sample", "Sample"},
    {"adc15", "ADC15"},
    {"adc30", "ADC30"},
    {"location", "Location"},
    {"chai", "CHAI"},
    {"extCal", "External calibration"},
    {"tadj", "T adjustment"},
    {"tau", "Tau"},
    {"hadj", "H adjustment"},
    {"wtoffset", "WT offset"},
    {"wtfactory", "WT factory value"},
    {"p1offset", "P1 offset"},
    {"autosec", "Auto seconds"},
    {"sys", "System"},
};

// Numbered keys: "cal03" is calibration 3.
constexpr Label kNumbered[] = {
    {"cal", "Calibration"},
    {"user", "User record"},
    {"eqn", "Equation record"},
};

}  // namespace

std::string SettingLabel(std::string_view key) {
  for (const Label& l : kLabels) {
    if (l.key == key) return std::string(l.label);
  }
  for (const Label& l : kNumbered) {
    if (key.size() <= l.key.size() || key.substr(0, l.key.size()) != l.key) continue;
    std::string_view digits = key.substr(l.key.size());
    if (digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    std::string label(l.label);
    label += ' ';
    label += digits;
    return label;
  }
  return std::string(key);
}

bool IsBookkeepingKey(std::string_view key) {
  return key == "mask" || key == "addressInt";
}

}  // namespace quendal::cli
