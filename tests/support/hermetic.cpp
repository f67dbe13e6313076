#include "tests/support/hermetic.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tests/support/temp_dir.h"

namespace quendal::test {
namespace {

std::string& Root() {
  static std::string root;
  return root;
}

void Set(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Passed on to children as they are: they say how to run, not where to keep anything.
constexpr const char* kPassedOn[] = {
    "PATH",         "LANG",         "LC_ALL",          "LC_CTYPE",       "TZ",
    "TERM",         "ASAN_OPTIONS", "UBSAN_OPTIONS",   "LSAN_OPTIONS",   "QT_QPA_PLATFORM",
    "SYSTEMROOT",   "WINEPREFIX",   "WINEDEBUG",       "QUENDAL_SIM_TIME_SCALE",
};
// Set by EnterHermeticEnvironment, so always passed on.
constexpr const char* kHermetic[] = {
    "HOME",           "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME",
    "XDG_STATE_HOME", "TMPDIR",          "APPDATA",       "LOCALAPPDATA",
    "QUENDAL_PORTS_ONLY_SIMULATED",
};

}  // namespace

bool EnterHermeticEnvironment() {
  if (!Root().empty()) return true;
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  // A short name: a serial link holds a port name of 63 characters, and the simulated
  // devices' links and the tests' own folders live below this one.
  std::filesystem::path root;
#ifdef _WIN32
  for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
    TempDir probe;  // a unique name; the folder itself goes with the probe
    std::filesystem::path candidate = probe.path().string() + "-env";
    if (std::filesystem::create_directory(candidate, ec)) root = candidate;
  }
#else
  std::string pattern = (base / "quendal-XXXXXX").string();
  if (mkdtemp(pattern.data())) root = pattern;
#endif
  if (root.empty()) return false;
  Root() = root.string();
  const char* folders[] = {"home", "runtime", "data", "config", "cache", "state", "tmp"};
  for (const char* folder : folders) {
    std::filesystem::create_directory(root / folder, ec);
    // The runtime folder must be the user's alone, as the system's is.
    std::filesystem::permissions(root / folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
  }
  // Others may pass through to the temporary folder, as to the system's: a test runs a
  // program as another user from a folder it opened to them.
  using std::filesystem::perms;
  std::filesystem::permissions(
      root, perms::owner_all | perms::group_exec | perms::others_exec,
      std::filesystem::perm_options::replace, ec);
  std::filesystem::permissions(root / "tmp", perms::all | perms::sticky_bit,
                               std::filesystem::perm_options::replace, ec);
  Set("HOME", (root / "home").string());
  Set("XDG_RUNTIME_DIR", (root / "runtime").string());
  Set("XDG_DATA_HOME", (root / "data").string());
  Set("XDG_CONFIG_HOME", (root / "config").string());
  Set("XDG_CACHE_HOME", (root / "cache").string());
  Set("XDG_STATE_HOME", (root / "state").string());
  Set("TMPDIR", (root / "tmp").string());
  Set("APPDATA", (root / "data").string());
  Set("LOCALAPPDATA", (root / "data").string());
  Set("QUENDAL_PORTS_ONLY_SIMULATED", "1");
  return true;
}

void LeaveHermeticEnvironment() {
  if (Root().empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(Root(), ec);
  Root().clear();
}

const std::string& HermeticRoot() {
  return Root();
}

std::vector<std::string> ChildEnvironment() {
  std::vector<std::string> env;
  auto take = [&env](const char* name) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  };
  for (const char* name : kPassedOn) take(name);
  for (const char* name : kHermetic) take(name);
  return env;
}

}  // namespace quendal::test
