#include "app/cli/clireport.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace {

constexpr int kAngleDecimals = 4;

// TSV fields cannot hold tabs or line breaks; they become blanks.
std::string TsvField(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += char(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace

std::string KvFormatAngle(double degrees) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", kAngleDecimals, degrees);
  std::string s = buf;
  if (s.find('.') != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  if (s == "-0") s = "0";
  return s;
}

bool KvHasAngle(const TKvFileResult& r) {
  return r.Measured;
}

const char* KvStatusText(TKvFileStatus status) {
  switch (status) {
    case kvfsOK:
      return "ok";
    case kvfsFailed:
      return "failed";
    case kvfsCancelled:
      return "cancelled";
  }
  return "failed";
}

std::string KvReportTsv(const std::vector<TKvFileResult>& files) {
  std::string out = "source\tangle\toutput\tstatus\tmessage\n";
  for (const TKvFileResult& r : files) {
    const bool written = r.Status == kvfsOK && !r.Output.empty();
    out += TsvField(r.Source) + "\t" + (KvHasAngle(r) ? KvFormatAngle(r.Angle) : "") + "\t" +
           (written ? TsvField(r.Output) : "") + "\t" + KvStatusText(r.Status) + "\t" +
           TsvField(r.Message) + "\n";
  }
  return out;
}

std::string KvReportJson(const std::vector<TKvFileResult>& files) {
  std::string out = "[";
  for (size_t i = 0; i < files.size(); ++i) {
    const TKvFileResult& r = files[i];
    const bool written = r.Status == kvfsOK && !r.Output.empty();
    out += i == 0 ? "\n" : ",\n";
    out += "  {\"source\": " + JsonString(r.Source) +
           ", \"angle\": " + (KvHasAngle(r) ? KvFormatAngle(r.Angle) : "null") +
           ", \"output\": " + (written ? JsonString(r.Output) : "null") +
           ", \"status\": " + JsonString(KvStatusText(r.Status)) +
           ", \"message\": " + JsonString(r.Message) + "}";
  }
  out += files.empty() ? "]\n" : "\n]\n";
  return out;
}

bool KvWriteReport(const std::string& path, const std::vector<TKvFileResult>& files,
                   std::string& error) {
  const bool json = KvSameTextCaseBlind(KvFileExt(path), ".json");
  const std::string text = json ? KvReportJson(files) : KvReportTsv(files);
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (f) f.write(text.data(), std::streamsize(text.size()));
  if (f) f.close();
  if (!f) {
    error = "cannot write the report " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}
