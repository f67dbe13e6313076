// The settings-file reader, through its public functions only: the value readers on the
// text, and the whole file read into a session.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "instrument/instrument_session.h"
#include "instrument/settings_file.h"

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
  return 0;
}
