#include "app/options.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace {

constexpr int32_t kAngleRangeMax = 180;  // degrees: the widest search interval offered
constexpr double kPrecisionMax = 1.0;    // degrees: the coarsest angle step offered

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Built by appending: GCC 12 at -O3 warns falsely about "literal" + std::string.
std::string Quoted(std::string_view text, std::string_view tail) {
  std::string s(1, '\'');
  s += text;
  s += '\'';
  s += tail;
  return s;
}
std::string InvalidInteger(std::string_view text) {
  return Quoted(text, " is not a valid integer value");
}
std::string InvalidFloat(std::string_view text) {
  return Quoted(text, " is not a valid floating point value");
}

// Accepts [sign] digits [. digits] [(e|E) [sign] digits] with at least one mantissa digit.
bool IsDecimalSyntax(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < s.size() && IsDigit(s[i])) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == s.size();
}

TKvOptionsCheck Fail(TKvOptionsField field, std::string message) {
  return TKvOptionsCheck{false, field, opDeskew, std::move(message)};
}

}  // namespace

std::string_view KvTrim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool KvStrToInt(std::string_view text, int32_t& value, std::string& error) {
  std::string_view s = KvTrim(text);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !IsDigit(s.front())) {
    error = InvalidInteger(text);
    return false;
  }
  int64_t magnitude = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude);
  const int64_t limit = negative ? -int64_t(INT32_MIN) : int64_t(INT32_MAX);
  if (ec != std::errc() || end != s.data() + s.size() || magnitude > limit) {
    error = InvalidInteger(text);
    return false;
  }
  value = int32_t(negative ? -magnitude : magnitude);
  return true;
}

bool KvStrToFloat(std::string_view text, double& value, std::string& error) {
  std::string_view s = KvTrim(text);
  if (!IsDecimalSyntax(s)) {
    error = InvalidFloat(text);
    return false;
  }
  if (s.front() == '+') s.remove_prefix(1);  // from_chars takes no plus sign
  double parsed = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), parsed);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(parsed)) {
    error = InvalidFloat(text);
    return false;
  }
  value = parsed;
  return true;
}

void TKvOptions::SetDefaults() {
  TempPpm = true;
  ResampleWidth = kDefaultResampleWidth;
  AngleRange = kDefaultAngleRange;
  Precision = kDefaultPrecision;
  EdgeDetect = true;
}

bool TKvOptions::AcceptsKey(TKvOptionsField field, char key) {
  if (key == kBackspace) return field != ofNone;
  switch (field) {
    case ofResampleWidth:
    case ofAngleRange:
      return IsDigit(key);
    case ofPrecision:
      return IsDigit(key) || key == '.';
    case ofPrefix:
      return IsAsciiLetter(key) || IsDigit(key) || key == '-' || key == '_';
    case ofNone:
      break;
  }
  return false;
}

void TKvOptions::TypeKey(TKvOptionsField field, char key) {
  std::string* text = nullptr;
  switch (field) {
    case ofResampleWidth:
      text = &ResampleWidth;
      break;
    case ofAngleRange:
      text = &AngleRange;
      break;
    case ofPrecision:
      text = &Precision;
      break;
    case ofPrefix:
      text = &Prefix;
      break;
    case ofNone:
      return;
  }
  if (!AcceptsKey(field, key)) return;
  if (key == kBackspace) {
    if (!text->empty()) text->pop_back();
    return;
  }
  if (field == ofPrefix && int(text->size()) >= kPrefixMaxLength) return;
  text->push_back(key);
}

bool TKvOptions::IsValidPrefix(std::string_view text) {
  if (int(text.size()) > kPrefixMaxLength) return false;
  for (char c : text) {
    if (c == kBackspace || !AcceptsKey(ofPrefix, c)) return false;
  }
  return true;
}

TKvOptionsCheck TKvOptions::Validate() const {
  if (KvTrim(ResampleWidth).empty()) {
    return Fail(ofResampleWidth, std::string(kMsgResampleWidthEmpty));
  }
  if (KvTrim(AngleRange).empty()) return Fail(ofAngleRange, std::string(kMsgAngleRangeEmpty));
  std::string error;
  int32_t range = 0;
  if (!KvStrToInt(KvTrim(AngleRange), range, error)) return Fail(ofAngleRange, error);
  if (range > kAngleRangeMax || range <= 0) {
    return Fail(ofAngleRange, std::string(kMsgAngleRangeBounds));
  }
  if (KvTrim(Precision).empty()) return Fail(ofPrecision, std::string(kMsgPrecisionEmpty));
  double precision = 0;
  if (!KvStrToFloat(KvTrim(Precision), precision, error)) return Fail(ofPrecision, error);
  if (precision > kPrecisionMax || !(precision > 0)) {
    return Fail(ofPrecision, std::string(kMsgPrecisionBounds));
  }
  return TKvOptionsCheck{};
}

bool TKvOptions::ReadDeskewSettings(TKvDeskewSettings& out, std::string& error) const {
  TKvDeskewSettings s;
  if (!KvStrToFloat(Precision, s.Precision, error)) return false;
  s.EdgeDetect = EdgeDetect;
  if (!KvStrToInt(AngleRange, s.AngleRange, error)) return false;
  if (!KvStrToInt(ResampleWidth, s.ResampleWidth, error)) return false;
  out = s;
  return true;
}
