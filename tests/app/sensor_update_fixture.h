#pragma once
// The bench of the digital-sensor update tests: the simulated comm device and its sensor over
// a pseudo-terminal, and the engine that updates them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/engine/updater_engine.h"
#include "host/file_lock.h"
#include "host/file_ops.h"
#include "host/serial.h"
#include "host/timing.h"
#include "loader/image_fit.h"
#include "sim/comm_device.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/pty_transport.h"
#include "tests/app/recording_operator.h"
#include "tests/support/temp_dir.h"

namespace quendal::sensor_tests {

using sim::CommDevice;
using sim::SdiSensor;
using test::RecordingOperator;

constexpr const char* kCaption = "Lurra Family Firmware Updater";

struct SensorFacts {
  std::uint32_t version;
  char address;
  std::string serialNumber;
  std::string x4;
  std::string xa;
  bool selfTest;
  std::uint32_t updates;
};

inline sim::SensorOptions Lurra() {
  sim::SensorOptions s;
  EXPECT_TRUE(sim::SensorOptionsForType('s', 390, &s));
  s.versionAfterUpdate = 396;
  s.address = '3';
  s.serialNumber = "LU-20931";
  return s;
}

class SensorUpdate : public testing::Test {
 protected:
  void Boot(sim::CommDeviceOptions options, std::vector<std::string> switches = {}) {
    // The engine holds the port and the transport holds the device: they go first.
    engine_.reset();
    transport_.reset();
    device_ = std::make_unique<CommDevice>(std::move(options));
    transport_ = std::make_unique<sim::PtyTransport>(device_.get());
    ASSERT_EQ(transport_->Start(), 1);
    ui_ = RecordingOperator{};
    BuildSettings comm = ThisBuild();
    comm.targetType = kTypeDigitalSensor;
    engine_ = std::make_unique<UpdaterEngine>(&ui_, comm);
    ASSERT_EQ(EngineStart(engine_.get(), switches, dir_.File("data")), 0);
    // An instrument build carries its own image: the sensor gets the comm build's.
    if (ThisBuild().targetType != kTypeDigitalSensor) {
      ASSERT_GT(OpenFirmwareFile(engine_.get(), QUENDAL_SOURCE_DIR "/firmware/Lurra 3.96.txt"), 0);
    }
    SelectPort(engine_.get(), transport_->SlavePath(), "simulated KCD");
  }
  void Boot(sim::SensorOptions sensor, std::vector<std::string> switches = {}, int battery = 87) {
    sim::CommDeviceOptions options;
    ASSERT_TRUE(sim::CommPresetOptions("kcd", &options));
    options.sensor = std::move(sensor);
    options.battery = battery;
    Boot(std::move(options), std::move(switches));
  }
  // Another Start with the same engine and device, as the operator would press it again.
  Status Start() {
    ui_ = RecordingOperator{};
    return RunUpdate(engine_.get());
  }
  SensorFacts Facts() const {
    return device_->WithSensor([](const SdiSensor& s) {
      return SensorFacts{s.version(), s.address(),        s.serialNumber(),    s.x4(),
                         s.xa(),      s.SelfTestPasses(), s.counters().updates};
    });
  }
  bool SettingsFileExists() const {
    return std::filesystem::exists(dir_.File("data") + "/Lurra Family.settings.txt");
  }
  std::string LogText() const {
    return test::ReadWholeFile(dir_.File("data") + "/" + kCaption + ".errors.txt");
  }

  test::TempDir dir_;
  RecordingOperator ui_;
  std::unique_ptr<CommDevice> device_;
  std::unique_ptr<sim::PtyTransport> transport_;
  std::unique_ptr<UpdaterEngine> engine_;
};

inline void ExpectKept(const SensorFacts& before, const SensorFacts& after) {
  EXPECT_EQ(after.address, before.address);
  EXPECT_EQ(after.serialNumber, before.serialNumber);
  EXPECT_EQ(after.x4, before.x4);
  EXPECT_EQ(after.xa, before.xa);
  EXPECT_TRUE(after.selfTest);
  EXPECT_EQ(after.version, 396u);
}

}  // namespace quendal::sensor_tests
