// The per-file report of kelvane-cli, and the angle's text form.
#pragma once

#include <string>
#include <vector>

#include "app/imagejob.h"

// The angle with at most 4 decimals, trailing zeros dropped ("1.25", "-0.3", "0").
std::string KvFormatAngle(double degrees);
// Whether a result carries a measured angle (a file that failed to load has none).
bool KvHasAngle(const TKvFileResult& result);
// "ok", "failed" or "cancelled".
const char* KvStatusText(TKvFileStatus status);

// The report: a header and a row per file (source, angle, output, status, message), as
// tab-separated text, or as a JSON array of objects.
std::string KvReportTsv(const std::vector<TKvFileResult>& files);
std::string KvReportJson(const std::vector<TKvFileResult>& files);
// Writes the report, picking JSON when the path ends in ".json" (any case). Returns false and
// sets `error` when the file cannot be written.
bool KvWriteReport(const std::string& path, const std::vector<TKvFileResult>& files,
                   std::string& error);
