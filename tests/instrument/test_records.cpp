// Record names, their order, and records read from the settings file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "instrument/settings_capture.h"
#include "tests/instrument/base64.h"
#include "tests/instrument/instrument_fixture.h"

namespace quendal {
namespace {

using test::Base64;

RecordSet SetOf(const std::vector<std::string>& texts) {
  RecordSet set;
  set.count = static_cast<std::int32_t>(texts.size());
  set.records.reset(new Record[texts.size()]);
  for (std::size_t i = 0; i < texts.size(); ++i) set.records[i].text.Set(texts[i]);
  return set;
}

std::vector<std::string> Names(const RecordSet& set) {
  std::vector<std::string> names;
  for (int i = 0; i < set.count; ++i) names.emplace_back(set.records[i].name.view());
  return names;
}

TEST(Records, NamesComeFromTheTextOrItsDecodedFourthField) {
  InstrumentSession session(nullptr);
  RecordSet eqn = SetOf({"Gamma_1 x+1", "Alpha`B z", "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "plain"});
  ASSERT_EQ(ExtractNames(&session, &eqn, kEqnRecordType), 1);
  EXPECT_EQ(Names(eqn),
            (std::vector<std::string>{"Gamma 1", "Alpha,B", "ABCDEFGHIJKLMNOPQRST", "plain"}));

  RecordSet user = SetOf({Base64("7\t1\t0\tPUMP\t12.5"), Base64("a\tb\tc\tLongerThanNine\tx"),
                          Base64("only\ttwo\ttabs"), Base64("x\ty\tz\tEND")});
  ASSERT_EQ(ExtractNames(&session, &user, kUserRecordType), 1);
  EXPECT_EQ(Names(user), (std::vector<std::string>{"PUMP", "LongerTha", "", "END"}));

  RecordSet empty;
  EXPECT_EQ(ExtractNames(&session, &empty, kEqnRecordType), -10);
  EXPECT_EQ(ExtractNames(&session, &eqn, 3), -11);
  EXPECT_EQ(AlphabetizeRecords(&session, &eqn, 0), -11);
}

TEST(Records, SortingIgnoresCaseAndPutsALaterEqualNameFirst) {
  InstrumentSession session(nullptr);
  struct Case {
    std::vector<std::string> in;
    std::vector<std::string> out;
  };
  const Case cases[] = {
      {{"b", "A", "a"}, {"a", "A", "b"}},
      {{"ab", "a", "B", "AA"}, {"a", "AA", "ab", "B"}},
      {{"zeta", "Mid", "alpha", "mid"}, {"alpha", "mid", "Mid", "zeta"}},
  };
  for (const Case& c : cases) {
    RecordSet set = SetOf(c.in);
    ASSERT_EQ(AlphabetizeRecords(&session, &set, kEqnRecordType), 1);
    std::vector<std::string> texts;
    for (int i = 0; i < set.count; ++i) texts.emplace_back(set.records[i].text.view());
    EXPECT_EQ(texts, c.out);
  }
}

TEST(Records, FileRecordsAreReadUpToTheFirstMissingKeyAndKeepTheirWholeText) {
  InstrumentSession session(nullptr);
  const std::string longest(100, 'Q');
  const std::string file = "user00=\"" + longest + "\"\r\nuser01=\"second\"\r\nuser02=\"\"\r\n" +
                           "user04=\"after a gap\"\r\neqn00=\"e0\"\r\n";
  RecordSet users;
  ASSERT_EQ(GetRecords_File(&session, &users, kUserRecordType, file.c_str()), 1);
  ASSERT_EQ(users.count, 2);
  EXPECT_EQ(users.records[0].text, longest);
  EXPECT_EQ(users.records[1].text, "second");

  RecordSet eqns;
  EXPECT_EQ(GetRecords_File(&session, &eqns, kEqnRecordType, "no records here"), 0);
  EXPECT_EQ(GetRecords_File(&session, &eqns, 7, file.c_str()), -11);
}

}  // namespace
}  // namespace quendal
