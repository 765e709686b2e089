// The settings of both batch jobs, as the Options dialog holds them.
//
// The dialog's edit fields are the settings: every value is kept as the text the user typed and
// is converted only when a job (or the closing validation) needs it. Nothing is stored between
// runs; a new object shows the defaults. The dialog itself is a thin layer over this class: it
// routes typed keys through AcceptsKey, shows Validate's message and focuses its field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The fields that can fail a check or take typed keys.
enum TKvOptionsField : uint8_t {
  ofNone = 0,
  ofResampleWidth,  // ed_resamplewidth
  ofAngleRange,     // ed_anglerange
  ofPrecision,      // ed_precision
  ofPrefix,         // ed_prefix
};

// The two pages of the dialog.
enum TKvOptionsPage : uint8_t {
  opDeskew = 0,  // "DeSkew Options"
  opPdf = 1,     // "PDF Options"
};

// Outcome of the closing validation: the first failing check, or Ok.
struct TKvOptionsCheck {
  bool Ok = true;
  TKvOptionsField Field = ofNone;  // the field to focus
  TKvOptionsPage Page = opDeskew;  // the page to bring to the front
  std::string Message;             // shown in an error box with an empty caption
};

// The converted values that DetectSkew takes.
struct TKvDeskewSettings {
  int32_t ResampleWidth = 500;
  int32_t AngleRange = 40;
  double Precision = 0.1;
  bool EdgeDetect = true;
};

class TKvOptions {
 public:
  static constexpr std::string_view kDefaultResampleWidth = "500";
  static constexpr std::string_view kDefaultAngleRange = "40";
  static constexpr std::string_view kDefaultPrecision = "0.1";
  static constexpr int kPrefixMaxLength = 20;  // characters the prefix field holds
  static constexpr char kBackspace = '\b';

  // Page "DeSkew Options".
  std::string ResampleWidth{kDefaultResampleWidth};
  std::string AngleRange{kDefaultAngleRange};
  std::string Precision{kDefaultPrecision};
  bool EdgeDetect = true;  // radio_edgedetect_yes selected
  // Page "PDF Options".
  bool TempPpm = true;  // radio_ppm ("Uncompressed (faster)") selected, else radio_png
  std::string Prefix;   // "Prefix of target files "

  // The "Default" button: every setting back to its default except the prefix.
  void SetDefaults();

  // Key filters of the edit fields: whether a typed character is taken. They do not look at
  // pasted text.
  static bool AcceptsKey(TKvOptionsField field, char key);
  // Types one key into a field as the edit would: a refused key changes nothing, backspace
  // removes the last character, the prefix stops at kPrefixMaxLength characters.
  void TypeKey(TKvOptionsField field, char key);
  // Whether a whole text could have been typed into the prefix field.
  static bool IsValidPrefix(std::string_view text);

  // The checks run when the dialog is about to close, in their fixed order; the first failing
  // one is returned. A text that is not a number fails with the platform's conversion message.
  TKvOptionsCheck Validate() const;

  // The values a job reads for each file, converted in the job's order (precision, edge detect,
  // angle range, resample width). On a conversion failure returns false and sets `error`.
  bool ReadDeskewSettings(TKvDeskewSettings& out, std::string& error) const;

  // Texts, exactly as the dialog shows them.
  static constexpr std::string_view kCaption = "Options";
  static constexpr std::string_view kPageDeskewCaption = "DeSkew Options";
  static constexpr std::string_view kPagePdfCaption = "PDF Options";
  static constexpr std::string_view kTempPpmCaption = "Uncompressed (faster)";
  static constexpr std::string_view kTempPngCaption = "Compressed";
  static constexpr std::string_view kMsgResampleWidthEmpty = "Please enter the resample width!";
  static constexpr std::string_view kMsgAngleRangeEmpty = "Please enter the angle range!";
  static constexpr std::string_view kMsgAngleRangeBounds =
      "The value of angle range should be 1<->180!";
  static constexpr std::string_view kMsgPrecisionEmpty = "Please enter the precision!";
  static constexpr std::string_view kMsgPrecisionBounds =
      "The value of precision should be >0 and <=1 with only one decimal digit!";
};

// Number conversions with the platform's rules and messages: optional blanks around, an
// optional sign, decimal digits (and for decimals "." as the mark and an optional exponent).
// On failure they return false and set `error` to the standard invalid-number text.
bool KvStrToInt(std::string_view text, int32_t& value, std::string& error);
bool KvStrToFloat(std::string_view text, double& value, std::string& error);
// `text` without leading and trailing blanks and control characters.
std::string_view KvTrim(std::string_view text);
