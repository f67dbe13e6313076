#pragma once
// What the instrument tests share: a log in a fresh folder, the settings file's path, and
// a simulated instrument with its settings commands on a pseudo-terminal.
#include <gtest/gtest.h>

#include <string>

#include "host/diagnostic_log.h"
#include "instrument/instrument_session.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/pty_transport.h"
#include "tests/support/temp_dir.h"

namespace quendal::test {

class InstrumentTest : public testing::Test {
 protected:
  InstrumentTest() { log.Open(dir.File("log.txt").c_str(), kLogDetail); }

  std::string LogText() const { return ReadWholeFile(dir.File("log.txt")); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }
  std::string SettingsPath() const { return dir.File("Corvel.settings.txt"); }

  TempDir dir;
  DiagnosticLog log;
};

struct SimInstrument {
  SimInstrument(int type, std::uint32_t version, sim::InstrumentModelOptions modelOptions = {})
      : device(sim::OptionsForType(type, version)),
        model(WithType(modelOptions, type, version)),
        transport(&device) {
    device.SetShellExtension(model.Extension());
    started = transport.Start() > 0;
  }
  explicit SimInstrument(sim::DeviceOptions options)
      : device(std::move(options)), model(sim::InstrumentModelOptions{}), transport(&device) {
    started = transport.Start() > 0;
  }

  const std::string& Path() const { return transport.SlavePath(); }

  static sim::InstrumentModelOptions WithType(sim::InstrumentModelOptions o, int type,
                                              std::uint32_t version) {
    o.type = type;
    o.version = version;
    return o;
  }

  sim::SimDevice device;
  sim::InstrumentSettingsModel model;
  sim::PtyTransport transport;
  bool started = false;
};

inline Status Connect(InstrumentSession* session, const std::string& port,
                      DeviceProfile* profile = nullptr) {
  DeviceProfile scratch;
  return DPConnect(session, port.c_str(), 2, 3, profile ? profile : &scratch);
}

}  // namespace quendal::test
