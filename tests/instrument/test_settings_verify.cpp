// The restore's read-back decides whether a setting is back: what it did not read is not back.
#include <gtest/gtest.h>

#include <string>

#include "instrument/instrument_status.h"
#include "instrument/settings_verify.h"
#include "logger/maintenance.h"
#include "tests/support/temp_dir.h"

namespace quendal {
namespace {

using instrument_detail::VerifyRestore;

TEST(VerifyRestore, ASettingIsBackOnlyWhenItsReadBackReportedIt) {
  struct Case {
    const char* name;
    Status readResult;
    bool siteReported;      // the read-back's bits include the site
    const char* siteOnUnit; // what the read-back puts where the site is read into; null: nothing
    bool back;
  } cases[] = {
      {"read whole, as saved", kOk, true, "North Field", true},
      {"read whole, changed", kOk, true, "", false},
      // The failed read leaves the held value in place; it must not pass for the unit's.
      {"site not read", kSomeFailed, false, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    DiagnosticLog log(dir.File("errors.txt").c_str(), kLogDetail);
    InstrumentSession session(&log);
    session.profileType = kTypeTarnx;
    session.info.site.Set("North Field");
    session.info.name.Set("NF-1");
    const std::uint32_t restored = kSetSite | kSetName;
    int writes = 0;
    auto capture = [&](InstrumentSession* s, std::uint32_t* found) {
      *found = kSetName;
      if (c.siteReported) *found |= kSetSite;
      if (c.siteOnUnit) s->info.site.Set(c.siteOnUnit);
      return c.readResult;
    };
    const Status rc = VerifyRestore(
        &session, restored, [&] { return ++writes, kOk; }, capture, {});
    if (c.back) {
      EXPECT_EQ(rc, kOk);
      EXPECT_EQ(writes, 0);
    } else {
      EXPECT_EQ(rc, kSettingsNotRestored);
      EXPECT_EQ(session.notRestored, "site");
      EXPECT_EQ(writes, 1) << "what differs is written once more";
    }
    EXPECT_EQ(std::string(session.info.site.view()), "North Field") << "the held value stays";
  }
}

}  // namespace
}  // namespace quendal
