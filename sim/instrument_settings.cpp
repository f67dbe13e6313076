#include "sim/instrument_settings.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "loader/device_types.h"

namespace quendal::sim {
namespace {

constexpr const char* kServiceLogin = "login *6274";
constexpr std::size_t kMostRecords = 100;
constexpr int kReadvaneCalSlots = 20;

struct TypeCommands {
  int type;
  std::vector<const char*> keys;  // "#" first: the setting is a number
  std::vector<const char*> records;
  bool login;
};

// What each type's firmware answers; written from the instruments' manuals, not from the
// updater's capture table, so that a setting the updater forgets shows up in a test.
const std::vector<TypeCommands>& Table() {
  static const std::vector<TypeCommands> table = {
      {kTypeRdv, {"-i", "-sn", "#-contr", "-adc15", "-adc30"}, {}, false},
      {kTypeCommDevice, {"-i", "-sn"}, {}, false},
      {kTypeCvMini, {"-sn", "#-lang", "#-contr", "-fvals", "-uvals", "-hadj", "#-tau"}, {}, true},
      {kTypePrv, {"-sn", "#-contr", "-fvals", "#-units"}, {}, false},
      {kTypeThx, {"-sn", "#-contr", "#-units", "-adc", "-sample"}, {}, false},
      {kTypeSrbx,
       {"-sn", "-adccal", "-wtoffset", "-p1offset", "-auto", "-wtfactory", "-sys"},
       {},
       false},
      {kTypeCvTri, {"-adccal", "-config"}, {}, true},
      {kTypeLuma, {"-loc", "-x", "-ext", "-adccal"}, {}, false},
      {kTypeCvv, {"-sn", "-config", "-p", "-pv", "-tadj"}, {"user"}, false},
      {kTypePotex, {"-sn", "-config"}, {}, true},
      {kTypeCvq, {"-sn", "-config"}, {}, true},
      {kTypeVinex, {"-sn", "-cal7", "-calA"}, {}, false},
      {kTypeCvFour, {"-sn", "-config", "-tadj"}, {"user", "eqn"}, true},
      {kTypeCvFtdl, {"-sn", "-config", "-tadj"}, {"user", "eqn"}, true},
  };
  return table;
}

const TypeCommands* Find(int type) {
  for (const TypeCommands& t : Table())
    if (t.type == type) return &t;
  return nullptr;
}

std::pair<std::string, std::string> SplitWord(std::string_view text) {
  std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos) return {std::string(text), std::string()};
  return {std::string(text.substr(0, blank)), std::string(text.substr(blank + 1))};
}

bool IsIndex(const std::string& text) {
  return !text.empty() && text.size() <= 3 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsInteger(const std::string& text) {
  std::size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  return text.size() > start && text.size() - start <= 9 &&
         std::all_of(text.begin() + static_cast<long>(start), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

InstrumentSettingsModel::InstrumentSettingsModel(InstrumentModelOptions options)
    : options_(std::move(options)) {
  const TypeCommands* t = Find(options_.type);
  if (!t) return;
  std::vector<const char*> keys = t->keys;
  if (options_.type == kTypeLuma && options_.version >= 200) {
    keys.insert(keys.end(), {"-sn", "#-contr", "-config"});
  }
  if (options_.type == kTypeCvFour && options_.version >= 205) keys.push_back("-pvuser");
  for (const char* k : keys) {
    if (k[0] == '#') {
      keys_.emplace_back(k + 1);
      numberKeys_.emplace_back(k + 1);
    } else {
      keys_.emplace_back(k);
    }
  }
  if (options_.type == kTypeRdv) {
    for (int i = 0; i < kReadvaneCalSlots; ++i) keys_.push_back("-cal " + std::to_string(i));
  }
  for (const char* w : t->records) recordWords_.emplace_back(w);
  needsLogin_ = t->login;
  hasSensorType_ = options_.type == kTypeCvFour;
  FactoryReset();
}

bool InstrumentSettingsModel::HasSettings(int type) {
  return Find(type) != nullptr;
}

InstrumentShell::Extension InstrumentSettingsModel::Extension(InstrumentShell::Extension next) {
  return [this, next = std::move(next)](std::string_view command) -> std::optional<std::string> {
    if (auto answer = Run(command)) return answer;
    return next ? next(command) : std::nullopt;
  };
}

std::vector<std::string> InstrumentSettingsModel::Keys() const {
  return keys_;
}

bool InstrumentSettingsModel::IsNumberKey(const std::string& key) const {
  return std::find(numberKeys_.begin(), numberKeys_.end(), key) != numberKeys_.end();
}

bool InstrumentSettingsModel::HasRecords(const std::string& word) const {
  return std::find(recordWords_.begin(), recordWords_.end(), word) != recordWords_.end();
}

bool InstrumentSettingsModel::NeedsLogin() const {
  return needsLogin_;
}

bool InstrumentSettingsModel::Knows(const std::string& key) const {
  return std::find(keys_.begin(), keys_.end(), key) != keys_.end();
}

std::string InstrumentSettingsModel::Get(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = values_.find(key);
  return it == values_.end() ? std::string() : it->second;
}

void InstrumentSettingsModel::Set(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  values_[key] = value;
}

std::vector<std::string> InstrumentSettingsModel::Records(const std::string& word) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = records_.find(word);
  return it == records_.end() ? std::vector<std::string>() : it->second;
}

void InstrumentSettingsModel::SetRecords(const std::string& word,
                                         std::vector<std::string> records) {
  std::lock_guard<std::mutex> lock(mu_);
  records_[word] = std::move(records);
}

void InstrumentSettingsModel::FactoryReset() {
  std::lock_guard<std::mutex> lock(mu_);
  values_.clear();
  for (const std::string& k : keys_) values_[k] = IsNumberKey(k) ? "0" : "";
  records_.clear();
  loggedIn_ = false;
  sensorType_.clear();
  clockSeconds_.reset();
  clockDate_.clear();
  clockTime_.clear();
}

void InstrumentSettingsModel::FillInService() {
  static const std::map<std::string, std::string> kValues = {
      {"-i", "FIELD01"},
      {"-sn", "SN-20117"},
      {"-lang", "1"},
      {"-contr", "12"},
      {"-fvals", "1.0 2.0 3.0"},
      {"-uvals", "0.5 0.5"},
      {"-pvuser", "1.5 2"},
      {"-units", "1"},
      {"-adc", "50.98"},
      {"-sample", "60"},
      {"-adccal", "1024 2048"},
      {"-config", "1234"},
      {"-wtoffset", "0.1"},
      {"-p1offset", "0.2"},
      {"-auto", "3600"},
      {"-wtfactory", "1.0"},
      {"-sys", "1 0 1"},
      {"-adc15", "15 1 1"},
      {"-adc30", "30 2 2"},
      {"-cal7", "7 1.0"},
      {"-calA", "A 1.0"},
      {"-p", "0.3 0.6"},
      {"-pv", "1.1 2.2"},
      {"-loc", "North Field"},
      {"-x", "CHAI-1"},
      {"-ext", "EXT1"},
      {"-tadj", "0.1 0.2"},
      {"-hadj", "1.5 2.5"},
      {"-tau", "30"},
  };
  std::lock_guard<std::mutex> lock(mu_);
  for (const std::string& k : keys_) {
    auto it = kValues.find(k);
    values_[k] = it != kValues.end() ? it->second : "1.0 " + k.substr(1);
  }
  for (const std::string& w : recordWords_) {
    // A user record is Base64 text whose fourth TAB-separated field is its name.
    records_[w] = w == "user"
                      ? std::vector<std::string>{"MQkwCTAJUFVNUAkxMi41", "MgkwCTEJVkFMVkUJMA=="}
                      : std::vector<std::string>{"Flow_1 x*2", "Level y+1"};
  }
}

std::vector<std::string> InstrumentSettingsModel::Commands() const {
  std::lock_guard<std::mutex> lock(mu_);
  return commands_;
}

void InstrumentSettingsModel::ClearCommands() {
  std::lock_guard<std::mutex> lock(mu_);
  commands_.clear();
}

bool InstrumentSettingsModel::LoggedIn() const {
  std::lock_guard<std::mutex> lock(mu_);
  return loggedIn_;
}

std::optional<std::int64_t> InstrumentSettingsModel::ClockSeconds() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clockSeconds_;
}

std::string InstrumentSettingsModel::ClockText() const {
  std::lock_guard<std::mutex> lock(mu_);
  return clockDate_ + " " + clockTime_;
}

int InstrumentSettingsModel::Erasures() const {
  std::lock_guard<std::mutex> lock(mu_);
  return erasures_;
}

std::string InstrumentSettingsModel::SensorType() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sensorType_;
}

void InstrumentSettingsModel::SetBattery(std::string body) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.battery = std::move(body);
}

void InstrumentSettingsModel::SetDataFlashFails(bool fails) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.dataFlashFails = fails;
}

void InstrumentSettingsModel::SetRefuseSettings(bool refuse) {
  std::lock_guard<std::mutex> lock(mu_);
  options_.refuseSettings = refuse;
}

void InstrumentSettingsModel::Restarted() {
  std::lock_guard<std::mutex> lock(mu_);
  loggedIn_ = false;
}

std::optional<std::string> InstrumentSettingsModel::Run(std::string_view command) {
  std::lock_guard<std::mutex> lock(mu_);
  commands_.emplace_back(command);
  if (command == kServiceLogin) {
    if (options_.loginsAccepted == 0) return "ERROR";
    if (options_.loginsAccepted > 0) --options_.loginsAccepted;
    loggedIn_ = true;
    return "OK";
  }
  if (command.rfind("login", 0) == 0) return "ERROR";
  if (command == "logout") {
    loggedIn_ = false;
    return "OK";
  }
  if (command == "get -batt") return options_.battery;
  if (command == "get -hver" && !options_.hardwareRevision.empty()) {
    return options_.hardwareRevision;
  }
  if (command == "ping -stat" && options_.type == kTypeCvv && !options_.testStatus.empty()) {
    return options_.testStatus;
  }
  if (command == "yes") {
    ++erasures_;
    return options_.dataFlashFails ? "DataFlash FAIL" : "OK";
  }
  auto [verb, rest] = SplitWord(command);
  auto [key, value] = SplitWord(rest);
  if (verb == "get") return RunGet(key, value);
  if (verb == "set") return RunSet(key, value);
  return std::nullopt;
}

std::optional<std::string> InstrumentSettingsModel::RunGet(const std::string& key,
                                                           const std::string& rest) {
  std::string word = key.empty() ? key : key.substr(1);
  if (HasRecords(word)) {
    if (rest.empty()) {
      if (!options_.recordCountCommand) return "ERROR";
      return std::to_string(records_[word].size());
    }
    if (!IsIndex(rest)) return "ERROR";
    const std::vector<std::string>& list = records_[word];
    std::size_t index = std::stoul(rest);
    if (index >= list.size() || list[index].empty()) return "ERROR";
    return list[index];
  }
  std::string full = key;
  if (key == "-cal" && IsIndex(rest))
    full = key + " " + rest;
  else if (!rest.empty())
    return std::nullopt;
  if (!Knows(full)) return std::nullopt;
  return values_[full];
}

std::optional<std::string> InstrumentSettingsModel::RunSet(const std::string& key,
                                                           const std::string& value) {
  if (key == "-sec") {
    if (!IsInteger(value)) return "ERROR";
    clockSeconds_ = std::stoll(value);
    return "OK";
  }
  if (key == "-d" || key == "-t") {
    if (value.empty()) return "ERROR";
    (key == "-d" ? clockDate_ : clockTime_) = value;
    return "OK";
  }
  if (key == "-sensor" && hasSensorType_) {
    if (!IsInteger(value)) return "ERROR";
    sensorType_ = value;
    return "OK";
  }
  std::string word = key.empty() ? key : key.substr(1);
  const bool record = HasRecords(word);
  std::string full = key;
  std::string text = value;
  if (record || key == "-cal") {
    auto [index, after] = SplitWord(value);
    if (!IsIndex(index)) return key == "-cal" ? std::nullopt : std::optional<std::string>("ERROR");
    full = key + " " + index;
    text = after;
  }
  if (!record && !Knows(full)) return std::nullopt;
  if (options_.refuseSettings) return "ERROR";
  // Settings change only for the service.
  if (needsLogin_ && !loggedIn_) return "ERROR";
  if (text.empty()) return "ERROR";
  if (record) {
    std::size_t index = std::stoul(full.substr(key.size() + 1));
    if (index >= kMostRecords) return "ERROR";
    std::vector<std::string>& list = records_[word];
    if (list.size() <= index) list.resize(index + 1);
    list[index] = text;
    return "OK";
  }
  if (IsNumberKey(full) && !IsInteger(text)) return "ERROR";
  values_[full] = text;
  return "OK";
}

}  // namespace quendal::sim
