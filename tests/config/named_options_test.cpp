#include <zavrin.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

TEST(ExtractNamedOptionValue, FindsTheFirstOptionOfTheName) {
  struct {
    const char *options;
    const char *name;
    int size;
    int found;
    const char *value;  // the whole buffer stays untouched when not found
  } cases[] = {
      {"a=1;b=2", "B", 256, 1, "2"},     {"a = x y ; b=2", "a", 256, 1, "x y"},
      {"a=1=2;b=3", "a", 256, 1, "1=2"}, {"flag;a=1", "flag", 256, 0, nullptr},
      {"flag;a=1", "a", 256, 1, "1"},    {"a=1;a=2", "a", 256, 1, "1"},
      {"a=", "a", 256, 1, ""},           {"", "a", 256, 0, nullptr},
      {"b=a=1;a=2", "a", 256, 1, "2"},   {" \ta \t=v", "a", 256, 1, "v"},
      {"a=v", " a", 256, 0, nullptr},  // the requested name is not stripped
      {"a=1;;=2", "", 256, 1, "2"},      {"a=abcd", "a", 3, 1, "ab"},
      {"a=abcd", "a", 1, 1, ""},         {"a=  abcd", "a", 4, 1, "a"},  // cut first, then stripped
  };
  for (const auto &c : cases) {
    std::vector<char> buffer(static_cast<size_t>(c.size) + 8, '#');
    EXPECT_EQ(c.found, ExtractNamedOptionValue(c.options, c.name, buffer.data(), c.size))
        << c.options << " / " << c.name;
    if (c.value != nullptr) {
      EXPECT_STREQ(c.value, buffer.data()) << c.options;
    }
    // Nothing is written past the size, and nothing at all when not found.
    size_t untouchedFrom = c.found ? static_cast<size_t>(c.size) : 0;
    for (size_t i = untouchedFrom; i < buffer.size(); i++) ASSERT_EQ('#', buffer[i]) << c.options;
  }
}

TEST(ExtractNamedOptionValue, LongNamesNeverMatch) {
  for (size_t length : {255, 256, 300}) {
    std::string name(length, 'n');
    std::string options = name + "=long;" + name + " =blank;x=1";
    char buffer[16] = "untouched";
    int expected = length < 256 ? 1 : 0;
    EXPECT_EQ(expected, ExtractNamedOptionValue(options.c_str(), name.c_str(), buffer, 16));
    EXPECT_STREQ(expected ? "long" : "untouched", buffer);
    EXPECT_EQ(1, ExtractNamedOptionValueAsInt(options.c_str(), "x", 0));
  }
  // 255 characters with the blank before the '=' make 256: no match either.
  std::string options = std::string(255, 'n') + " =v";
  EXPECT_EQ(0, ExtractNamedOptionValueAsBool(options.c_str(), std::string(255, 'n').c_str(), 0));
}

TEST(ExtractNamedOptionValue, BooleanAndIntegerForms) {
  struct {
    const char *options;
    int asBool;     // default 7
    int32_t asInt;  // default -99
  } cases[] = {
      {"debug=Yes", 1, -99},
      {"debug=TRUE", 1, -99},
      {"debug=1", 0, 1},
      {"debug=on", 0, -99},
      {"debug=", 0, 0},
      {"other=yes", 7, -99},
      {"debug=0x1F", 0, 31},
      {"debug=010", 0, 8},
      {"debug= -4 ", 0, -4},
      {"debug=12abc", 0, -99},
      {"debug=4294967296", 0, 2147483647},
      {"debug=-2147483649", 0, INT32_MIN},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(c.asBool, ExtractNamedOptionValueAsBool(c.options, "debug", 7)) << c.options;
    EXPECT_EQ(c.asInt, ExtractNamedOptionValueAsInt(c.options, "debug", -99)) << c.options;
  }
  // Those forms see only the first 255 characters of a value.
  std::string longValue = "n=1" + std::string(254, '0') + "x";
  EXPECT_EQ(INT32_MAX, ExtractNamedOptionValueAsInt(longValue.c_str(), "n", -99));
}
