#include "app/cli/cliargs.h"

#include <string_view>

namespace {

constexpr int kMaxJobs = 256;  // more workers than this only costs memory

// An option that takes a value: "--name VALUE", "--name=VALUE", or for short ones "-xVALUE".
bool TakeValue(const std::vector<std::string>& args, size_t& i, std::string_view longName,
               std::string_view shortName, std::string& value, bool& matched, std::string& error) {
  const std::string& a = args[i];
  matched = false;
  if (a == longName || (!shortName.empty() && a == shortName)) {
    matched = true;
    if (i + 1 >= args.size()) {
      error = "option " + a + " needs a value";
      return false;
    }
    value = args[++i];
    return true;
  }
  const std::string withEq = std::string(longName) + "=";
  if (a.rfind(withEq, 0) == 0) {
    matched = true;
    value = a.substr(withEq.size());
    return true;
  }
  if (!shortName.empty() && a.size() > shortName.size() && a.rfind(shortName, 0) == 0 &&
      a[1] != '-') {
    matched = true;
    value = a.substr(shortName.size());
    return true;
  }
  return true;
}

bool ParseJobs(const std::string& text, int& jobs, std::string& error) {
  int32_t n = 0;
  std::string convError;
  if (!KvStrToInt(text, n, convError) || n < 1 || n > kMaxJobs) {
    error = "the value of --jobs should be a whole number from 1 to " + std::to_string(kMaxJobs) +
            ", not '" + text + "'";
    return false;
  }
  jobs = n;
  return true;
}

}  // namespace

bool KvParseCliArgs(const std::vector<std::string>& args, TKvCliArgs& out, std::string& error) {
  TKvCliArgs r;
  bool onlyInputs = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (onlyInputs || a.empty() || a[0] != '-' || a == "-") {
      r.Inputs.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyInputs = true;
      continue;
    }
    if (a == "-h" || a == "--help") {
      r.Help = true;
      continue;
    }
    if (a == "--version") {
      r.Version = true;
      continue;
    }
    if (a == "--measure") {
      r.Measure = true;
      continue;
    }
    if (a == "-q" || a == "--quiet") {
      r.Quiet = true;
      continue;
    }
    struct TValued {
      std::string_view Long, Short;
      std::string* Target;
    };
    std::string edge, jobs;
    bool edgeGiven = false, jobsGiven = false;
    const TValued valued[] = {
        {"--output", "-o", &r.OutputFolder},
        {"--resample-width", "", &r.Options.ResampleWidth},
        {"--angle-range", "", &r.Options.AngleRange},
        {"--precision", "", &r.Options.Precision},
        {"--prefix", "", &r.Options.Prefix},
        {"--report", "", &r.ReportPath},
        {"--edge-detect", "", &edge},
        {"--jobs", "-j", &jobs},
    };
    bool matched = false;
    for (const TValued& v : valued) {
      if (!TakeValue(args, i, v.Long, v.Short, *v.Target, matched, error)) return false;
      if (matched) {
        edgeGiven = v.Target == &edge;
        jobsGiven = v.Target == &jobs;
        break;
      }
    }
    if (!matched) {
      error = "unknown option " + a;
      return false;
    }
    if (edgeGiven) {
      if (edge != "yes" && edge != "no") {
        error = "the value of --edge-detect should be yes or no, not '" + edge + "'";
        return false;
      }
      r.Options.EdgeDetect = edge == "yes";
    }
    if (jobsGiven && !ParseJobs(jobs, r.Jobs, error)) return false;
  }
  if (r.Help || r.Version) {
    out = std::move(r);
    return true;
  }
  // The settings pass the same checks, with the same messages, as the Options dialog.
  const TKvOptionsCheck check = r.Options.Validate();
  if (!check.Ok) {
    error = check.Message;
    return false;
  }
  TKvDeskewSettings ds;
  if (!r.Options.ReadDeskewSettings(ds, error)) return false;
  if (!TKvOptions::IsValidPrefix(r.Options.Prefix)) {
    error = "the prefix '" + r.Options.Prefix +
            "' may hold only letters, digits, \"-\" and \"_\", at most " +
            std::to_string(TKvOptions::kPrefixMaxLength) + " characters";
    return false;
  }
  if (r.Inputs.empty()) {
    error = "no input files given";
    return false;
  }
  if (!r.Measure && r.OutputFolder.empty()) {
    error = "no output folder given (-o DIR)";
    return false;
  }
  out = std::move(r);
  return true;
}

std::string KvCliUsage() {
  return R"(Usage: kelvane-cli [OPTIONS] INPUT... -o DIR
Deskews scanned pages: measures by how many degrees each page is tilted, turns it back, cuts it
to an upright page and writes it into DIR in the source's own format.
INPUT is an image file or a folder (its image files, sorted by name, not recursive).
Sources are never overwritten: an output that would replace its own source gets the prefix NEW_.

Options:
  -o, --output DIR          folder for the deskewed pages (made when missing)
      --resample-width N    width in pixels the measured part is reduced to; 0: none (500)
      --angle-range N       width of the searched angle interval, 1 to 180 degrees (40)
      --precision X         angle step in degrees, >0 and <=1 (0.1); the measurement works
                            in tenths, so a step below 0.1 measures nothing (angle 0)
      --edge-detect yes|no  outline the content before measuring (yes)
      --prefix TEXT         put in front of every output name: letters, digits, - and _,
                            at most 20 characters (none)
      --measure             measure only: print "ANGLE<tab>PATH" per file, write nothing
      --report FILE         write a row per file (source, angle, output, status, message):
                            JSON when FILE ends in .json, else tab-separated
  -j, --jobs N              files processed in parallel (one per core); outputs do not depend
                            on it
  -q, --quiet               no progress display and no per-file lines (errors, and the
                            angles of --measure, are still printed)
  -h, --help                this text
      --version             the version

Angles are in degrees; a positive angle means the text lines descend to the right, and the page
is turned counter-clockwise by that angle to straighten it.
Exit status: 0 every file was written (or measured), 1 some file failed or an input folder
could not be listed, 2 usage error (also a report that would replace a source or an output).
)";
}
