// The settings of the Options dialog: defaults, "Default", key filters, closing validation.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(OptionsTest, StartsWithTheDefaults) {
  const TKvOptions o;
  EXPECT_EQ(o.ResampleWidth, "500");
  EXPECT_EQ(o.AngleRange, "40");
  EXPECT_EQ(o.Precision, "0.1");
  EXPECT_TRUE(o.EdgeDetect);
  EXPECT_TRUE(o.TempPpm);
  EXPECT_EQ(o.Prefix, "");
  EXPECT_TRUE(o.Validate().Ok);
  TKvDeskewSettings ds;
  std::string error;
  ASSERT_TRUE(o.ReadDeskewSettings(ds, error)) << error;
  EXPECT_EQ(ds.ResampleWidth, 500);
  EXPECT_EQ(ds.AngleRange, 40);
  EXPECT_DOUBLE_EQ(ds.Precision, 0.1);
  EXPECT_TRUE(ds.EdgeDetect);
}

TEST(OptionsTest, DefaultRestoresAllButThePrefix) {
  TKvOptions o;
  o.ResampleWidth = "0";
  o.AngleRange = "90";
  o.Precision = "0.5";
  o.EdgeDetect = false;
  o.TempPpm = false;
  o.Prefix = "s_";
  o.SetDefaults();
  EXPECT_EQ(o.ResampleWidth, "500");
  EXPECT_EQ(o.AngleRange, "40");
  EXPECT_EQ(o.Precision, "0.1");
  EXPECT_TRUE(o.EdgeDetect);
  EXPECT_TRUE(o.TempPpm);
  EXPECT_EQ(o.Prefix, "s_");
}

struct TKeyCase {
  TKvOptionsField Field;
  char Key;
  bool Accepted;
};

TEST(OptionsTest, KeyFiltersTakeOnlyTheirCharacters) {
  const TKeyCase cases[] = {
      {ofResampleWidth, '7', true},  {ofResampleWidth, '.', false}, {ofResampleWidth, '-', false},
      {ofResampleWidth, 'a', false}, {ofResampleWidth, '\b', true}, {ofAngleRange, '0', true},
      {ofAngleRange, '.', false},    {ofAngleRange, ' ', false},    {ofPrecision, '.', true},
      {ofPrecision, '9', true},      {ofPrecision, ',', false},     {ofPrecision, 'e', false},
      {ofPrecision, '\b', true},     {ofPrefix, 'A', true},         {ofPrefix, 'z', true},
      {ofPrefix, '5', true},         {ofPrefix, '-', true},         {ofPrefix, '_', true},
      {ofPrefix, ' ', false},        {ofPrefix, '.', false},        {ofPrefix, '\\', false},
      {ofPrefix, '/', false},        {ofPrefix, '\xE9', false},     {ofPrefix, '\b', true},
  };
  for (const TKeyCase& c : cases) {
    EXPECT_EQ(TKvOptions::AcceptsKey(c.Field, c.Key), c.Accepted)
        << "field " << int(c.Field) << " key " << int(c.Key);
  }
}

TEST(OptionsTest, TypingIntoThePrefixIgnoresRefusedKeysAndStopsAtTwentyCharacters) {
  TKvOptions o;
  for (char c : std::string("a b.c\\d")) o.TypeKey(ofPrefix, c);
  EXPECT_EQ(o.Prefix, "abcd");
  o.TypeKey(ofPrefix, TKvOptions::kBackspace);
  EXPECT_EQ(o.Prefix, "abc");
  for (int i = 0; i < 30; ++i) o.TypeKey(ofPrefix, 'x');
  EXPECT_EQ(o.Prefix.size(), 20u);
  o.TypeKey(ofPrecision, TKvOptions::kBackspace);
  o.TypeKey(ofPrecision, '5');
  EXPECT_EQ(o.Precision, "0.5");
}

TEST(OptionsTest, PrefixValidity) {
  EXPECT_TRUE(TKvOptions::IsValidPrefix(""));
  EXPECT_TRUE(TKvOptions::IsValidPrefix("scan-2024_A"));
  EXPECT_TRUE(TKvOptions::IsValidPrefix(std::string(20, 'p')));
  EXPECT_FALSE(TKvOptions::IsValidPrefix(std::string(21, 'p')));
  EXPECT_FALSE(TKvOptions::IsValidPrefix("a b"));
  EXPECT_FALSE(TKvOptions::IsValidPrefix("../x"));
  EXPECT_FALSE(TKvOptions::IsValidPrefix("a\\b"));
}

struct TCheckCase {
  const char* ResampleWidth;
  const char* AngleRange;
  const char* Precision;
  TKvOptionsField Field;  // ofNone: passes
  const char* Message;
};

// The checks run in a fixed order and the first failing one wins; texts are trimmed first.
TEST(OptionsTest, ValidationOrderAndMessages) {
  const char* kWidth = "Please enter the resample width!";
  const char* kRangeEmpty = "Please enter the angle range!";
  const char* kRange = "The value of angle range should be 1<->180!";
  const char* kPrecEmpty = "Please enter the precision!";
  const char* kPrec = "The value of precision should be >0 and <=1 with only one decimal digit!";
  const TCheckCase cases[] = {
      {"500", "40", "0.1", ofNone, ""},
      {"", "", "", ofResampleWidth, kWidth},  // first check wins
      {"  ", "0", "5", ofResampleWidth, kWidth},
      {"500", "", "", ofAngleRange, kRangeEmpty},
      {"500", " \t", "0.1", ofAngleRange, kRangeEmpty},
      {"500", "0", "", ofAngleRange, kRange},
      {"500", "181", "0.1", ofAngleRange, kRange},
      {"500", "-5", "0.1", ofAngleRange, kRange},
      {"500", "180", "0.1", ofNone, ""},
      {"500", "1", "1", ofNone, ""},
      {"500", " 30 ", " 0.5 ", ofNone, ""},
      {"500", "40", "", ofPrecision, kPrecEmpty},
      {"500", "40", "0", ofPrecision, kPrec},
      {"500", "40", "1.5", ofPrecision, kPrec},
      {"500", "40", "-0.1", ofPrecision, kPrec},
      {"500", "40", "0.05", ofNone, ""},  // only the range is tested
      {"500", "40", "0.25", ofNone, ""},
      {"abc", "40", "0.1", ofNone, ""},  // the width is tested only for being non-empty
      {"500", "4x", "0.1", ofAngleRange, "'4x' is not a valid integer value"},
      {"500", "99999999999", "0.1", ofAngleRange, "'99999999999' is not a valid integer value"},
      {"500", "40", "1.2.3", ofPrecision, "'1.2.3' is not a valid floating point value"},
      {"500", "40", "abc", ofPrecision, "'abc' is not a valid floating point value"},
      {"500", "40", ".", ofPrecision, "'.' is not a valid floating point value"},
      {"500", "500", "abc", ofAngleRange, kRange},  // the range fails before the precision
  };
  for (const TCheckCase& c : cases) {
    TKvOptions o;
    o.ResampleWidth = c.ResampleWidth;
    o.AngleRange = c.AngleRange;
    o.Precision = c.Precision;
    const TKvOptionsCheck check = o.Validate();
    SCOPED_TRACE(std::string(c.ResampleWidth) + "|" + c.AngleRange + "|" + c.Precision);
    EXPECT_EQ(check.Ok, c.Field == ofNone);
    EXPECT_EQ(check.Field, c.Field);
    EXPECT_EQ(check.Message, c.Message);
    EXPECT_EQ(check.Page, opDeskew);  // every checked field is on the "DeSkew Options" page
  }
}

TEST(OptionsTest, JobReadsTheWidthAndFailsOnAnInvalidOne) {
  TKvOptions o;
  o.ResampleWidth = "12x";
  TKvDeskewSettings ds;
  std::string error;
  EXPECT_FALSE(o.ReadDeskewSettings(ds, error));
  EXPECT_EQ(error, "'12x' is not a valid integer value");
  o.ResampleWidth = "0";
  o.AngleRange = "30";
  o.Precision = "0.3";
  o.EdgeDetect = false;
  ASSERT_TRUE(o.ReadDeskewSettings(ds, error));
  EXPECT_EQ(ds.ResampleWidth, 0);
  EXPECT_EQ(ds.AngleRange, 30);
  EXPECT_DOUBLE_EQ(ds.Precision, 0.3);
  EXPECT_FALSE(ds.EdgeDetect);
}

TEST(OptionsTest, NumberConversionsFollowThePlatformRules) {
  int32_t i = 0;
  double d = 0;
  std::string error;
  EXPECT_TRUE(KvStrToInt("+12", i, error));
  EXPECT_EQ(i, 12);
  EXPECT_TRUE(KvStrToInt("-2147483648", i, error));
  EXPECT_EQ(i, INT32_MIN);
  EXPECT_FALSE(KvStrToInt("2147483648", i, error));
  EXPECT_FALSE(KvStrToInt("1 2", i, error));
  EXPECT_FALSE(KvStrToInt("", i, error));
  EXPECT_EQ(error, "'' is not a valid integer value");
  EXPECT_TRUE(KvStrToFloat("1e-1", d, error));
  EXPECT_DOUBLE_EQ(d, 0.1);
  EXPECT_TRUE(KvStrToFloat(".5", d, error));
  EXPECT_DOUBLE_EQ(d, 0.5);
  EXPECT_FALSE(KvStrToFloat("0,5", d, error));
  EXPECT_FALSE(KvStrToFloat("1e400", d, error));
  EXPECT_FALSE(KvStrToFloat("nan", d, error));
}

}  // namespace
