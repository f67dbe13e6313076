// The settings-file reader, through its public functions only: the value readers on the
// text, and the whole file read into a session. Then the writer: the input, cut into
// values, is written and read back; a value the writer takes must come back byte for
// byte, and no value may add a line.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "instrument/instrument_session.h"
#include "instrument/settings_file.h"

namespace {

using namespace quendal;

std::size_t Lines(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::size_t lines = 0;
  for (int c; (c = std::fgetc(f)) != EOF;) lines += c == '\n';
  std::fclose(f);
  return lines;
}

// Values separated by 0x01 bytes go into the sensor's texts and a logger's texts.
void RoundTrip(const std::string& input, const std::string& path) {
  std::vector<std::string> values;
  std::size_t from = 0;
  for (std::size_t at; (at = input.find('\x01', from)) != std::string::npos; from = at + 1)
    values.push_back(input.substr(from, at - from));
  values.push_back(input.substr(from));
  values.resize(4);

  InstrumentSession empty(nullptr);
  empty.profileType = kTypeDigitalSensor;
  if (WriteInfoFile(&empty, path.c_str()) < 0) return;
  const std::size_t lines = Lines(path);

  InstrumentSession written(nullptr);
  written.profileType = kTypeDigitalSensor;
  written.sdi.identity.Set(values[0]);
  written.sdi.calibration.Set(values[1]);
  written.sdi.calibration2.Set(values[2]);
  written.sdi.serialNumber.Set(values[3]);
  if (WriteInfoFile(&written, path.c_str()) == kOk) {
    if (Lines(path) != lines) __builtin_trap();
    InstrumentSession read(nullptr);
    read.profileType = kTypeDigitalSensor;
    if (ReadInfoFile(&read, path.c_str()) != kOk) __builtin_trap();
    if (read.sdi.calibration.view() != written.sdi.calibration.view() ||
        read.sdi.calibration2.view() != written.sdi.calibration2.view() ||
        read.sdi.serialNumber.view() != written.sdi.serialNumber.view())
      __builtin_trap();
  }
  std::remove(path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quendal;
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"Type", "SN", "-sn", "Version", "X4", "Xa", "Records", "-config", ""}) {
    char value[64];
    ReadTextValue(text.c_str(), key, value, sizeof value);
    std::uint32_t number = 0;
    ReadNumberValue(text.c_str(), key, &number);
    double real = 0;
    ReadFloatValue(text.c_str(), key, &real);
  }
  ParseUnsigned(text.c_str());

  static const std::string path = "/tmp/quendal-fuzz-settings-" + std::to_string(getpid());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  for (int type : {kTypeDigitalSensor, kTypeCvFour, kTypeTarnx}) {
    InstrumentSession session(nullptr);
    session.profileType = static_cast<std::uint8_t>(type);
    DescribeDevice(type, 999, &session.profile);
    ReadInfoFile(&session, path.c_str());
  }
  std::remove(path.c_str());
  RoundTrip(text, path);
  return 0;
}
