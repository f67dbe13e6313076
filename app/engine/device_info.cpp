// A look at the connected device without changing it: the update's connect, battery and
// settings capture, stopped before anything would be written.
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "app/engine/updater_engine.h"
#include "host/timing.h"
#include "instrument/attempt_record.h"
#include "instrument/settings_file.h"
#include "logger/logger_link.h"
#include "sdi12/sdi_sensor.h"

namespace quendal {
namespace {

void WriteByte(UpdaterEngine* engine, char byte) {
  std::uint32_t written = 0;
  DSWrite(&engine->session->link, &byte, 1, &written);
}

void HeldSettings(UpdaterEngine* engine, DeviceInfo* info) {
  info->settings = HeldSettingsList(*engine);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> HeldSettingsList(const UpdaterEngine& engine) {
  std::vector<std::pair<std::string, std::string>> settings;
  // Kept in memory: a file in a shared temporary folder is a way in for other users.
  std::istringstream file(SettingsListing(engine.session.get()));
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    // The attempt record says which unit a file is of; here that is the device itself.
    if (line.rfind("unit", 0) == 0 || line.rfind(kAttemptPhaseKey, 0) == 0) continue;
    std::string value = line.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
      value = value.substr(1, value.size() - 2);
    settings.emplace_back(line.substr(0, eq), value);
  }
  return settings;
}

std::string SensorKindName(const UpdaterEngine& engine) {
  const std::uint8_t type = engine.session->sdi.typeCode;
  BoundedText<32> name;
  SensorName(type, &name);
  if (std::string(name.c_str()).rfind("Unknown", 0) != 0) return name.c_str();
  // Family members have no name of their own: the family that takes them names them,
  // whichever type the operator selected.
  for (const SensorMenuItem& item : kSensorMenu) {
    if (item.code < 256 || !SensorTypeFits(item.code, type)) continue;
    BoundedText<32> family;
    SensorName(static_cast<std::uint32_t>(item.code), &family);
    std::string text = family.c_str();
    text += " (type ";
    text.push_back(static_cast<char>(type));
    text.push_back(')');
    return text;
  }
  return name.c_str();
}

std::string FoundDeviceKind(const UpdaterEngine& engine) {
  const UpdateAttempt& attempt = *engine.attempt;
  if (engine.IsCommDeviceBuild() && engine.session->sdi.typeCode != 0)
    return SensorKindName(engine);
  if (!engine.IsCommDeviceBuild() && attempt.profile.displayName.size() > 0)
    return attempt.profile.displayName.c_str();
  return attempt.target;
}

static Status LookAtDevice(UpdaterEngine* engine, DeviceInfo* info) {
  InstrumentSession* session = engine->session.get();
  DeviceProfile& profile = engine->attempt->profile;
  Status rc = DPConnect(session, engine->attempt->options.port.c_str(), 2, 3, &profile);
  engine->attempt->connectResult = rc;
  if (rc == kLoaderActive || rc == kLoaderWaiting) {
    info->kind = engine->targetDisplayName;
    info->note = "the device waits in its firmware loader: an update was cut short; run the "
                 "update again to finish it";
    return kOk;
  }
  if (rc < 0) return rc;
  info->kind = profile.displayName.c_str();
  if (session->info.versionNumber > 0)
    info->version = VersionText(static_cast<std::uint32_t>(session->info.versionNumber));

  std::int32_t percent = 0;
  if ((engine->IsCommDeviceBuild() || profile.checksBattery) &&
      DPCheckBattery(session, &percent) > 0) {
    info->battery = percent;
  }

  if (engine->IsCommDeviceBuild()) {
    const std::uint8_t logger = session->info.loggerType;
    if (logger != kLoggerKyrelCommDev && logger != kLoggerReadvane) {
      info->note = "no comm device: this build reads sensors through a KCD or Readvane";
      DPLogout(session, 0);
      return kOk;
    }
    // The comm device relays SDI-12 from here on, as in an update before its save.
    WriteByte(engine, '[');
    DSSleep(500);
    session->profileType = kTypeDigitalSensor;
    const Status captured = DPCaptureInfo(session);
    if (captured >= 0 || session->sdi.typeCode != 0) {
      info->sensorKind = SensorKindName(*engine);
      if (session->sdi.firmwareVersion > 0)
        info->sensorVersion = VersionText(session->sdi.firmwareVersion);
      info->sensorSerial = std::string(session->sdi.serialNumber.view());
      HeldSettings(engine, info);
    } else {
      info->note = "no sensor answered behind the comm device (error " + std::to_string(captured) +
                   ")";
    }
    WriteByte(engine, '`');
    DPLogout(session, 0);
    return kOk;
  }

  if (profile.savesSettings) {
    Status login = profile.needsLogin ? DPLogin(session) : kOk;
    session->lookOnly = true;
    Status captured = login < 0 ? login : DPCaptureInfo(session);
    session->lookOnly = false;
    if (captured >= 0 || captured == kSomeFailed) {
      info->serial = HeldUnit(session).serial;
      HeldSettings(engine, info);
      if (captured < 0) info->note = "some settings could not be read";
    } else {
      info->note = "the settings could not be read (error " + std::to_string(captured) + ")";
    }
  }
  DPLogout(session, 0);
  return kOk;
}

Status ReadDeviceInfo(UpdaterEngine* engine, DeviceInfo* info) {
  BeginAttempt(engine, AttemptKind::kLook);
  const Status rc = LookAtDevice(engine, info);
  FinishAttempt(engine, rc, true);
  return rc;
}

}  // namespace quendal
