#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "case_name.hpp"

namespace zorf {
namespace {

struct CheckCase {
  const char* name;
  std::string bytes;
  std::optional<Utf8Error> expected;
};

class CheckUtf8 : public testing::TestWithParam<CheckCase> {};

TEST_P(CheckUtf8, ReportsFirstInvalidSequence) {
  EXPECT_EQ(check_utf8(GetParam().bytes), GetParam().expected);
}

constexpr std::optional<std::uint8_t> kIncomplete = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Sequences, CheckUtf8,
    testing::Values(
        CheckCase{"Empty", "", std::nullopt},
        CheckCase{"Ascii", "GPU-0123abcd", std::nullopt},
        CheckCase{"TwoThreeFourBytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", std::nullopt},
        CheckCase{"HighestScalar", "\xF4\x8F\xBF\xBF", std::nullopt},
        CheckCase{"LoneContinuation", "ab\x80", Utf8Error{2, 1}},
        CheckCase{"LeadC0", "\xC0\xAF", Utf8Error{0, 1}},
        CheckCase{"LeadF5", "x\xF5\x80\x80\x80", Utf8Error{1, 1}},
        CheckCase{"ByteFF", "\xFF", Utf8Error{0, 1}},
        CheckCase{"OverlongThree", "\xE0\x80\x80", Utf8Error{0, 1}},
        CheckCase{"OverlongFour", "\xF0\x80\x80\x80", Utf8Error{0, 1}},
        CheckCase{"Surrogate", "\xED\xA0\x80", Utf8Error{0, 1}},
        CheckCase{"AboveMax", "\xF4\x90\x80\x80", Utf8Error{0, 1}},
        CheckCase{"BadThirdByte", "\xE2\x82(", Utf8Error{0, 2}},
        CheckCase{"BadFourthByte", "ok\xF0\x9F\x98z", Utf8Error{2, 3}},
        CheckCase{"ValidThenBad", "\xC3\xA9\xC3", Utf8Error{2, kIncomplete}},
        CheckCase{"CutAfterLead", "a\xE2", Utf8Error{1, kIncomplete}},
        CheckCase{"CutInsideFour", "\xF0\x9F\x98", Utf8Error{0, kIncomplete}},
        CheckCase{"LongAsciiThenCut", std::string(17, 'a') + "\xE2\x82", Utf8Error{17, kIncomplete}},
        CheckCase{"LongAsciiThenBad", std::string(8, 'a') + "\x80" + std::string(8, 'b'), Utf8Error{8, 1}},
        CheckCase{"NulIsValid", std::string("a\0b", 3), std::nullopt}),
    test::CaseName());

TEST(Utf8Lossy, ReplacesEachInvalidSequenceOnce) {
  const struct {
    std::string bytes, text;
  } cases[] = {
      {"plain", "plain"},
      {"ab\xFF" "cd", "ab\xEF\xBF\xBD" "cd"},
      {"\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xF0\x9F\x98" "a", "\xEF\xBF\xBD" "a"},  // one replacement for the whole cut sequence
      {"end\xE2\x82", "end\xEF\xBF\xBD"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate is three bad bytes
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.bytes), c.text) << c.bytes;
}

TEST(Utf8ErrorText, NamesLengthOrIncompleteness) {
  EXPECT_EQ((Utf8Error{3, 1}.display()), "invalid utf-8 sequence of 1 bytes from index 3");
  EXPECT_EQ((Utf8Error{0, 2}.display()), "invalid utf-8 sequence of 2 bytes from index 0");
  EXPECT_EQ((Utf8Error{5, std::nullopt}.display()), "incomplete utf-8 byte sequence from index 5");
}

}  // namespace
}  // namespace zorf
