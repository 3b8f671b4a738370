/* The tools' helpers that an operator's configuration goes through: the
 * properties file of -F, the hiding of property values in messages, and the
 * exporter's count of records jumped over by an offset reset. */
#include "exporter/feed.h"
#include "w4tool.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(PropFile, LinesCommentsBlanksAndTrimming) {
  std::vector<w4_prop> props;
  const std::string text = "# a comment\n"
                           "\n"
                           "   \t\n"
                           "  security.protocol = SASL_SSL  \r\n"
                           "\tsasl.password=  two words #not a comment \n"
                           "   # an indented comment\n"
                           "sasl.username=a=b\n"
                           "empty=\n"
                           "last.line=no newline";
  ASSERT_EQ(0, w4_parse_prop_text(text, &props));
  std::vector<w4_prop> want = {{"security.protocol", "SASL_SSL"},
                               {"sasl.password", "two words #not a comment"},
                               {"sasl.username", "a=b"},
                               {"empty", ""},
                               {"last.line", "no newline"}};
  EXPECT_EQ(want, props);
}

TEST(PropFile, TheFirstMalformedLineIsNamedByItsNumber) {
  std::vector<w4_prop> props;
  EXPECT_EQ(3, w4_parse_prop_text("a=1\n# c\nsasl.passwordSECRET\nb", &props));
  EXPECT_EQ(1, w4_parse_prop_text(" = value", &props));
  std::string nul = "a=1\nb=x";
  nul.push_back('\0');
  nul += "y\n";
  EXPECT_EQ(2, w4_parse_prop_text(nul, &props));
  props.clear();
  EXPECT_EQ(0, w4_parse_prop_text("", &props));
  EXPECT_TRUE(props.empty());
}

TEST(HideValues, EveryWholeOccurrenceAndTheIntegerAsRead) {
  EXPECT_EQ("Invalid value \"(value not shown)\" for configuration property "
            "\"security.protocol\"",
            w4_hide_values("Invalid value \"s3cret\" for configuration "
                           "property \"security.protocol\"",
                           {{"security.protocol", "s3cret"}}));
  /* -05 is shown by librdkafka as -5; digits inside other numbers stay. */
  EXPECT_EQ("value (value not shown) is outside allowed range 0..86400000",
            w4_hide_values("value -5 is outside allowed range 0..86400000",
                           {{"statistics.interval.ms", "-05"}}));
  EXPECT_EQ("range 10..1000",
            w4_hide_values("range 10..1000", {{"x", "0"}, {"y", "1"}}));
  /* A value with blanks or signs, and two values next to each other. */
  EXPECT_EQ("dlopen((value not shown).so) (value not shown)",
            w4_hide_values("dlopen(p@ss w.so) a-b",
                           {{"a", "p@ss w"}, {"b", "a"}, {"c", "a-b"}}));
  EXPECT_EQ("nothing to hide", w4_hide_values("nothing to hide", {{"e", ""}}));
}

TEST(FeedJump, OnlyAForwardJumpFromAKnownPositionCounts) {
  std::map<int32_t, int64_t> next;
  EXPECT_EQ(0, w4_feed_jump(&next, 0, 100)); /* new to it: no reference */
  EXPECT_EQ(0, w4_feed_jump(&next, 0, 101));
  EXPECT_EQ(49, w4_feed_jump(&next, 0, 151)); /* 102..150 skipped */
  EXPECT_EQ(0, w4_feed_jump(&next, 0, 152));
  EXPECT_EQ(0, w4_feed_jump(&next, 0, 10)); /* back: read again, no skip */
  EXPECT_EQ(0, w4_feed_jump(&next, 0, 11));
  EXPECT_EQ(0, w4_feed_jump(&next, 1, 7)); /* partitions apart */
  next[2] = 3;                             /* a restored position */
  EXPECT_EQ(2, w4_feed_jump(&next, 2, 5));
}

} // namespace
