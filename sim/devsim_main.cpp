// quendal-devsim: one simulated device on a pseudo-terminal, for trying the updater by hand.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "loader/host_bsl.h"
#include "sim/comm_device.h"
#include "sim/device.h"
#include "sim/instrument_settings.h"
#include "sim/logger_shell.h"
#include "sim/pty_transport.h"

namespace {

using namespace quendal::sim;

// "\r", "\n", "\0", "\\" and "\xHH" as their bytes; anything else as it stands.
std::string Unescaped(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\\' || i + 1 == text.size()) {
      out.push_back(c);
      continue;
    }
    const char next = text[++i];
    if (next == 'r') {
      out.push_back('\r');
    } else if (next == 'n') {
      out.push_back('\n');
    } else if (next == '0') {
      out.push_back('\0');
    } else if (next == 'x' && i + 2 < text.size() &&
               std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      unsigned byte = 0;
      std::from_chars(text.data() + i + 1, text.data() + i + 3, byte, 16);
      out.push_back(static_cast<char>(byte));
      i += 2;
    } else {
      out.push_back(next);
    }
  }
  return out;
}

constexpr const char* kUsage =
    "usage: quendal-devsim [options]\n"
    "Runs one simulated device on a pseudo-terminal and prints the port to open.\n"
    "  --device NAME       sensor, readvane, kcd, or a device-type code such as cvfour\n"
    "                      (default kcd); kcd, comm, rdv and readvane are comm devices\n"
    "                      with a digital sensor plugged in\n"
    "  --version TEXT      the answer to \"get -ver\" (default: from the device, e.g. KCD 1.23)\n"
    "  --name NAME         the link is devsim-NAME in the runtime folder (default: --device)\n"
    "  --no-loader         \"boot ZAVE\" answers \"Quendal MISSING\"\n"
    "  --old-firmware      every unknown command, \"get -ver\" too, answers \"ERROR\"\n"
    "  --blank             start with erased flash: the device waits in its loader\n"
    "  --image FILE        start with this TI-Text image in flash\n"
    "  --baud N            the shell's line speed (default 9600)\n"
    "  --loader-baud N     the loader's line speed (default: from the device)\n"
    "  --restart-ms N      the new firmware takes this long to start after the vectors\n"
    "  --pace              bytes take their time on the wire (ten bits each)\n"
    "  --echo              no device, a loop-back plug\n"
    "  --fault SPEC        inject a fault; may be repeated. SPEC is\n"
    "                      KIND[@FRAME[+COUNT]|%RATE][:LETTER][,ms=N][,bytes=N]\n"
    "                      KIND: refuse corrupt-in corrupt-out drop-in drop-out delay\n"
    "                      silence power; e.g. power@40:W,ms=500 or drop-out%0.01\n"
    "  --seed N            seed for faults by rate (default 1)\n"
    "  --noise flip|drop%RATE[,ms=N]\n"
    "                      line noise both ways: bytes changed or lost by chance, from\n"
    "                      the start (for N ms); SIGUSR1 starts it again, SIGUSR2 ends it\n"
    "Comm devices (--device kcd, comm, rdv, readvane):\n"
    "  --battery N         the answer to \"get -batt\" (default 87)\n"
    "  --hver TEXT         the answer to \"get -hver\" (default: B on the Readvane, none\n"
    "                      on the KCD)\n"
    "  --sensor CODE       the sensor's type: z x w y l u t s r o n j i } or its number\n"
    "                      (125, 127); none for an empty bus (default s)\n"
    "  --sensor-version N  its firmware version, three digits (default: by type)\n"
    "  --sensor-address C  its SDI-12 address (default 0)\n"
    "  --sensor-sn TEXT    its serial number; \"\" for none\n"
    "  --sensor-x4 TEXT    its calibration (\"?X4!\"); default: by type\n"
    "  --sensor-id TEXT    what its identification (\"?I!\") has after the version\n"
    "                      In these three texts \\r \\n \\0 \\\\ and \\xHH stand for their\n"
    "                      bytes, so a sensor can send what a garbled one would.\n"
    "  --sensor-blank      erased flash: the sensor waits in its loader\n"
    "  --sensor-no-loader  \"?B!\" answers \"No BSL\"\n"
    "  --sensor-no-type    \"?X8!\" goes unanswered\n"
    "  --sensor-no-xa      \"?Xa!\" goes unanswered\n"
    "  --sensor-silent     the sensor answers nothing, the probe neither\n"
    "  --sensor-probe-only the sensor answers only \"?!\"\n"
    "  --sensor-errors N   each setting is answered \"ERROR\" N times before \"OK\"\n"
    "  --sensor-corrupt-update  the self-test fails after a firmware update\n"
    "  --sensor-fault SPEC a fault on the sensor's loader frames, as --fault\n"
    "Loggers (--device tarn, tarn-new, tarnx, tarnb, wst, relmo, ogle, rdv-logger;\n"
    "tarn runs the old firmware):\n"
    "  --factory-fresh     factory settings and no name: an uninitialised logger\n"
    "  --no-radio          no radio module fitted\n"
    "  --no-modem          no cellular modem fitted (tarnx)\n"
    "  --dataflash-fail    \"yes\" answers \"DataFlash FAIL\"\n"
    "  --records N         measurements in the data memory (default 0)\n"
    "  --over-radio        the port is the PC's radio modem, tuned to the logger, which\n"
    "                      answers over the air (\"query\", \"login NAME\")\n"
    "Instruments with settings commands (--device cvmini, prv, thx, srbx, cvtri, luma, cvv,\n"
    "potex, cvq, vinex, cvfour, cvftdl) hold settings as if in service:\n"
    "  --fresh-settings    the settings an erased information memory leaves\n"
    "Stops on Ctrl+C or SIGTERM, saying how often the port was opened and how many bytes\n"
    "it heard.\n";

bool ParseUnsigned(const char* text, std::uint32_t* value) {
  std::string_view s(text);
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *value);
  return !s.empty() && ec == std::errc() && end == s.data() + s.size();
}

std::string RuntimeFolder() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/quendal";
  return "/tmp/quendal-" + std::to_string(getuid());
}

// The folder must be ours alone: a link in a shared folder could be swapped by anyone.
bool MakeRuntimeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  return lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

// "flip%0.01,ms=2000" or "drop%0.05".
bool ParseNoise(std::string_view spec, LineNoise* noise) {
  const std::size_t percent = spec.find('%');
  if (percent == std::string_view::npos) return false;
  const std::string_view kind = spec.substr(0, percent);
  std::string rest(spec.substr(percent + 1));
  std::uint32_t ms = 0;
  if (const std::size_t comma = rest.find(",ms="); comma != std::string::npos) {
    char* end = nullptr;
    const unsigned long n = std::strtoul(rest.c_str() + comma + 4, &end, 10);
    if (*end != '\0') return false;
    ms = static_cast<std::uint32_t>(n);
    rest.resize(comma);
  }
  char* end = nullptr;
  const double rate = std::strtod(rest.c_str(), &end);
  if (end == rest.c_str() || *end != '\0' || rate < 0 || rate > 1) return false;
  *noise = LineNoise{};
  if (kind == "flip") {
    noise->flipRate = rate;
  } else if (kind == "drop") {
    noise->dropRate = rate;
  } else {
    return false;
  }
  noise->ms = ms;
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "quendal-devsim: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  DeviceOptions options;
  PresetOptions("kcd", &options);
  std::string name;
  std::string version;
  std::string imagePath;
  bool noLoader = false;
  bool oldFirmware = false;
  bool blank = false;
  std::uint32_t baud = 0;
  std::uint32_t loaderBaud = 0;
  std::uint32_t restartMs = 0;
  std::uint32_t seed = 1;
  LineNoise noise;
  TransportOptions transportOptions;
  FaultPlan faults;
  CommDeviceOptions commOptions;
  bool comm = CommPresetOptions("kcd", &commOptions);
  std::string sensorCode = "s";
  std::optional<std::uint32_t> sensorVersion;
  std::optional<std::string> sensorSerial;
  std::optional<std::string> sensorX4;
  std::optional<std::string> sensorId;
  char sensorAddress = '0';
  SensorOptions sensorFlags;
  FaultPlan sensorFaults;
  LoggerOptions loggerOptions;
  bool logger = false;
  bool loggerFlags = false;  // an option that only a logger takes was given
  bool factoryFresh = false;
  bool noRadio = false;
  bool noModem = false;
  bool flashFails = false;
  bool overRadio = false;
  std::uint32_t records = 0;
  bool freshSettings = false;

  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--device") {
      const char* v = value();
      logger = v != nullptr && LoggerPreset(v, &loggerOptions);
      if (logger) {
        // The instrument under the logger's shell takes the instrument options below.
        options = loggerOptions.device;
        comm = false;
        continue;
      }
      if (v == nullptr || !PresetOptions(v, &options)) return Usage("unknown --device");
      comm = CommPresetOptions(v, &commOptions);
    } else if (arg == "--version") {
      const char* v = value();
      if (v == nullptr) return Usage("--version needs a text");
      version = v;
    } else if (arg == "--name") {
      const char* v = value();
      if (v == nullptr || v[0] == '\0' || std::strchr(v, '/') != nullptr) {
        return Usage("--name needs a name without /");
      }
      name = v;
    } else if (arg == "--image") {
      const char* v = value();
      if (v == nullptr) return Usage("--image needs a file");
      imagePath = v;
    } else if (arg == "--no-loader") {
      noLoader = true;
    } else if (arg == "--old-firmware") {
      oldFirmware = true;
    } else if (arg == "--blank") {
      blank = true;
    } else if (arg == "--pace") {
      transportOptions.pace = true;
    } else if (arg == "--echo") {
      faults.echo = true;
    } else if (arg == "--baud" || arg == "--loader-baud" || arg == "--restart-ms" ||
               arg == "--seed") {
      const char* v = value();
      std::uint32_t n = 0;
      if (v == nullptr || !ParseUnsigned(v, &n)) return Usage("a number was expected");
      if (arg == "--baud") baud = n;
      if (arg == "--loader-baud") loaderBaud = n;
      if (arg == "--restart-ms") restartMs = n;
      if (arg == "--seed") seed = n;
    } else if (arg == "--battery" || arg == "--sensor-version" || arg == "--sensor-errors") {
      const char* v = value();
      std::uint32_t n = 0;
      if (v == nullptr || !ParseUnsigned(v, &n)) return Usage("a number was expected");
      if (arg == "--battery") commOptions.battery = static_cast<int>(std::min(n, 100u));
      if (arg == "--sensor-version") sensorVersion = n;
      if (arg == "--sensor-errors") sensorFlags.errorsBeforeOk = n;
    } else if (arg == "--hver") {
      const char* v = value();
      if (v == nullptr) return Usage("--hver needs a text");
      commOptions.hardwareRevision = v;
    } else if (arg == "--sensor") {
      const char* v = value();
      char type = 0;
      if (v == nullptr || (std::strcmp(v, "none") != 0 && !ParseSensorType(v, &type))) {
        return Usage("unknown --sensor");
      }
      sensorCode = v;
    } else if (arg == "--sensor-address") {
      const char* v = value();
      if (v == nullptr || std::strlen(v) != 1 || !std::isalnum(static_cast<unsigned char>(v[0]))) {
        return Usage("--sensor-address needs a digit or a letter");
      }
      sensorAddress = v[0];
    } else if (arg == "--sensor-sn") {
      const char* v = value();
      if (v == nullptr) return Usage("--sensor-sn needs a text");
      sensorSerial = Unescaped(v);
    } else if (arg == "--sensor-x4" || arg == "--sensor-id") {
      const char* v = value();
      if (v == nullptr) return Usage("--sensor-x4 and --sensor-id need a text");
      (arg == "--sensor-x4" ? sensorX4 : sensorId) = Unescaped(v);
    } else if (arg == "--sensor-blank") {
      sensorFlags.blankFlash = true;
    } else if (arg == "--sensor-no-loader") {
      sensorFlags.hasLoader = false;
    } else if (arg == "--sensor-no-type") {
      sensorFlags.noTypeAnswer = true;
    } else if (arg == "--sensor-no-xa") {
      sensorFlags.xaFails = true;
    } else if (arg == "--sensor-silent") {
      sensorFlags.silent = true;
    } else if (arg == "--sensor-probe-only") {
      sensorFlags.probeOnly = true;
    } else if (arg == "--sensor-corrupt-update") {
      sensorFlags.corruptAfterUpdate = true;
    } else if (arg == "--sensor-fault") {
      const char* v = value();
      FaultRule rule;
      std::string error;
      if (v == nullptr) return Usage("--sensor-fault needs a SPEC");
      if (!ParseFaultRule(v, &rule, &error)) return Usage(error.c_str());
      sensorFaults.rules.push_back(rule);
    } else if (arg == "--factory-fresh" || arg == "--no-radio" || arg == "--no-modem" ||
               arg == "--dataflash-fail" || arg == "--over-radio") {
      loggerFlags = true;
      if (arg == "--factory-fresh") factoryFresh = true;
      if (arg == "--no-radio") noRadio = true;
      if (arg == "--no-modem") noModem = true;
      if (arg == "--dataflash-fail") flashFails = true;
      if (arg == "--over-radio") overRadio = true;
    } else if (arg == "--fresh-settings") {
      freshSettings = true;
    } else if (arg == "--records") {
      const char* v = value();
      loggerFlags = true;
      if (v == nullptr || !ParseUnsigned(v, &records)) return Usage("a number was expected");
    } else if (arg == "--noise") {
      const char* v = value();
      if (v == nullptr || !ParseNoise(v, &noise)) return Usage("--noise needs flip%RATE or drop%RATE");
    } else if (arg == "--fault") {
      const char* v = value();
      FaultRule rule;
      std::string error;
      if (v == nullptr) return Usage("--fault needs a SPEC");
      if (!ParseFaultRule(v, &rule, &error)) return Usage(error.c_str());
      faults.rules.push_back(rule);
    } else {
      return Usage("unknown option");
    }
  }
  if (loggerFlags && !logger) return Usage("that option is for loggers");
  if (overRadio && (noRadio || !(ProfileOf(loggerOptions.kind).features & feature::kRadio))) {
    return Usage("--over-radio needs a logger with a radio");
  }
  if (logger && (baud != 0 || oldFirmware)) {
    return Usage("loggers start at 9600; --device tarn is the old firmware");
  }
  if (name.empty()) name = options.name;
  if (!version.empty()) options.shell.versionText = version;
  options.shell.hasLoader = !noLoader;
  options.shell.oldFirmware = oldFirmware;
  options.blankFlash = blank;
  if (baud != 0) options.shellBaud = baud;
  if (loaderBaud != 0) options.layout.loaderBaud = loaderBaud;
  options.restartMs = restartMs;
  faults.seed = seed;
  options.faults = faults;
  if (!imagePath.empty()) {
    quendal::HostBSL image(nullptr);
    quendal::Status rc = quendal::BSLLoadTIFile(&image, imagePath.c_str());
    if (rc <= 0) {
      std::fprintf(stderr, "quendal-devsim: cannot load %s (%d)\n", imagePath.c_str(), rc);
      return 1;
    }
    options.imageText = image.imageText;
    VectorTable vectors{};
    for (std::size_t k = 0; k < kVectorWords; ++k) {
      vectors[k] = static_cast<std::uint16_t>(image.vectors[k]);
    }
    options.imageVectors = vectors;
  }

  // Block the stop signals before the device thread starts, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  sigaddset(&stopSignals, SIGUSR1);  // line noise on
  sigaddset(&stopSignals, SIGUSR2);  // and off
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  // A comm device is an instrument of these options with the sensor plugged into it.
  std::unique_ptr<SimDevice> device;
  std::unique_ptr<CommDevice> commDevice;
  Endpoint* endpoint = nullptr;
  if (comm) {
    commOptions.device = options;
    commOptions.sensor.reset();
    char type = 0;
    if (ParseSensorType(sensorCode, &type)) {
      SensorOptions sensor;
      SensorOptionsForType(type, sensorVersion.value_or(0), &sensor);
      sensor.address = sensorAddress;
      if (sensorSerial) sensor.serialNumber = *sensorSerial;
      if (sensorX4) sensor.x4 = *sensorX4;
      if (sensorId) sensor.identityMore = *sensorId;
      sensor.blankFlash = sensorFlags.blankFlash;
      sensor.hasLoader = sensorFlags.hasLoader;
      sensor.noTypeAnswer = sensorFlags.noTypeAnswer;
      sensor.xaFails = sensorFlags.xaFails;
      sensor.silent = sensorFlags.silent;
      sensor.probeOnly = sensorFlags.probeOnly;
      sensor.errorsBeforeOk = sensorFlags.errorsBeforeOk;
      sensor.corruptAfterUpdate = sensorFlags.corruptAfterUpdate;
      sensorFaults.seed = seed;
      sensor.faults = sensorFaults;
      commOptions.sensor = sensor;
    }
    commDevice = std::make_unique<CommDevice>(commOptions);
    endpoint = commDevice.get();
  } else {
    device = std::make_unique<SimDevice>(options);
    endpoint = device.get();
  }
  // An instrument's settings commands, by the type and version its "get -ver" names.
  std::unique_ptr<InstrumentSettingsModel> settingsModel;
  if (device && !logger) {
    char word[24] = {};
    unsigned major = 0, tenths = 0, hundredths = 0;
    std::sscanf(options.shell.versionText.c_str(), "%23s %u.%1u%1u", word, &major, &tenths,
                &hundredths);
    for (char* c = word; *c; ++c)
      *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
    InstrumentModelOptions modelOptions;
    modelOptions.type = quendal::FindDeviceTypeCode(word);
    modelOptions.version = major * 100 + tenths * 10 + hundredths;
    if (InstrumentSettingsModel::HasSettings(modelOptions.type)) {
      settingsModel = std::make_unique<InstrumentSettingsModel>(modelOptions);
      if (!freshSettings) settingsModel->FillInService();
      device->SetShellExtension(settingsModel->Extension());
      device->SetStartHook([model = settingsModel.get()] { model->Restarted(); });
      device->SetInfoEraseHook([model = settingsModel.get()] { model->FactoryReset(); });
    }
  }
  // A logger is its shell in front of an instrument of these options; a loop-back plug stays
  // the instrument's.
  std::unique_ptr<SimLogger> loggerDevice;
  std::unique_ptr<RadioLink> radioLink;
  if (logger && !faults.echo) {
    loggerOptions.device = options;
    loggerOptions.device.shell.oldFirmware = ProfileOf(loggerOptions.kind).oldFirmware;
    if (!version.empty()) loggerOptions.versionText = version;
    loggerOptions.factoryFresh = factoryFresh;
    loggerOptions.hardware.radio = !noRadio;
    loggerOptions.hardware.modem = !noModem;
    loggerOptions.dataFlashFails = flashFails;
    loggerOptions.records = records;
    loggerDevice = std::make_unique<SimLogger>(loggerOptions);
    endpoint = loggerDevice.get();
    if (overRadio) {
      radioLink = std::make_unique<RadioLink>(loggerDevice.get(), loggerOptions.radio);
      endpoint = radioLink.get();
    }
  }
  PtyTransport transport(endpoint, transportOptions);
  quendal::Status rc = transport.Start();
  if (rc <= 0) {
    std::fprintf(stderr, "quendal-devsim: cannot create a pseudo-terminal (%s)\n",
                 std::strerror(-rc));
    return 1;
  }

  std::string folder = RuntimeFolder();
  std::string link = folder + "/devsim-" + name;
  bool linked = false;
  if (MakeRuntimeFolder(folder)) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) unlink(link.c_str());
    linked = symlink(transport.SlavePath().c_str(), link.c_str()) == 0;
  }
  std::printf("%s\n", transport.SlavePath().c_str());
  if (linked) {
    std::printf("%s\n", link.c_str());
  } else {
    std::fprintf(stderr, "quendal-devsim: no link %s (%s)\n", link.c_str(), std::strerror(errno));
  }
  std::fprintf(stderr, "quendal-devsim: %s, \"%s\", %s\n", name.c_str(),
               options.shell.versionText.c_str(),
               DeviceStateName(comm ? commDevice->State() : device->State()));
  if (comm && commOptions.sensor) {
    const SensorOptions& s = *commOptions.sensor;
    std::fprintf(
        stderr, "quendal-devsim: sensor type %d \"%s\" version %u at address %c, %s\n", s.type,
        s.model.c_str(), static_cast<unsigned>(s.version), s.address,
        DeviceStateName(commDevice->WithSensor([](const SdiSensor& d) { return d.state(); })));
  } else if (comm) {
    std::fprintf(stderr, "quendal-devsim: no sensor on the bus\n");
  }
  if (settingsModel) {
    std::fprintf(stderr, "quendal-devsim: settings commands, %s\n",
                 freshSettings ? "as an erased information memory leaves them" : "in service");
  }
  if (loggerDevice) {
    const std::string loggerName = loggerDevice->Setting("i").value_or("");
    std::string radioText = "no radio";
    if (const std::optional<RadioConfig> radio = loggerDevice->Radio()) {
      char text[64];
      std::snprintf(text, sizeof text, "radio channel %u sub-channel %u%s",
                    static_cast<unsigned>(radio->channel), static_cast<unsigned>(radio->subChannel),
                    radioLink ? ", over the air" : "");
      radioText = text;
    }
    std::fprintf(stderr, "quendal-devsim: logger %s, %u records, %s\n",
                 loggerName.empty() ? "without a name" : loggerName.c_str(),
                 static_cast<unsigned>(loggerDevice->Records()), radioText.c_str());
  }
  std::fflush(stdout);

  noise.seed = seed;
  transport.SetLineNoise(noise);
  int signal = 0;
  for (;;) {
    sigwait(&stopSignals, &signal);
    if (signal == SIGUSR1) {
      transport.SetLineNoise(noise);
    } else if (signal == SIGUSR2) {
      transport.SetLineNoise(LineNoise{});
    } else {
      break;
    }
  }
  transport.Stop();
  // Whether anyone reached for the device: a canary for programs that must leave it alone.
  std::fprintf(stderr, "quendal-devsim: opened %llu times, heard %llu bytes\n",
               static_cast<unsigned long long>(transport.OpensSeen()),
               static_cast<unsigned long long>(transport.BytesReceived()));
  // Only our own link: another run may have taken the name meanwhile.
  char target[256];
  ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (linked && n > 0) {
    target[n] = '\0';
    if (transport.SlavePath() == target) unlink(link.c_str());
  }
  return 0;
}
