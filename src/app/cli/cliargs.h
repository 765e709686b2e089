// Command line of kelvane-cli: parsing, checks and the help text.
#pragma once

#include <string>
#include <vector>

#include "app/options.h"

struct TKvCliArgs {
  std::vector<std::string> Inputs;  // files and folders, as given
  std::string OutputFolder;         // -o DIR
  TKvOptions Options;               // --resample-width, --angle-range, --precision, ...
  bool Measure = false;             // --measure: print the angles, write nothing
  std::string ReportPath;           // --report FILE ("" for none)
  int Jobs = 0;                     // -j N; 0: one per core
  bool Quiet = false;               // -q
  bool Help = false;
  bool Version = false;
};

// Parses argv[1..]. On a usage error returns false and sets `error` to one line.
bool KvParseCliArgs(const std::vector<std::string>& args, TKvCliArgs& out, std::string& error);
// The --help text.
std::string KvCliUsage();
