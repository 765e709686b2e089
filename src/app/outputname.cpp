// Output names of the image job and its gauge arithmetic.
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <set>
#include <unordered_map>
#include <utility>

#include "app/imagejob.h"

namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

std::string WithNewPrefix(std::string_view path) {
  return std::string(KvFileFolder(path)) + std::string(kKvNewPrefix) +
         std::string(KvFileName(path));
}

// A path's identity for clash tests: the absolute, normalised path with symbolic links of its
// existing part resolved.
std::string PathKey(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(path, ec);
  if (ec) p = std::filesystem::absolute(path, ec).lexically_normal();
  return p.string();
}

// Device and inode of an existing file, so hard links count as the same file.
struct TFileId {
  dev_t Device = 0;
  ino_t Inode = 0;
  auto operator<=>(const TFileId&) const = default;
};
bool FileIdOf(const std::string& path, TFileId& id) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  id = TFileId{st.st_dev, st.st_ino};
  return true;
}

}  // namespace

bool KvSameTextCaseBlind(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool KvContainsCaseBlind(std::string_view haystack, std::string_view needle) {
  if (needle.empty() || needle.size() > haystack.size()) return false;
  for (size_t start = 0; start + needle.size() <= haystack.size(); ++start) {
    if (KvSameTextCaseBlind(haystack.substr(start, needle.size()), needle)) return true;
  }
  return false;
}

std::string_view KvFileName(std::string_view path) {
  const size_t sep = path.rfind(kKvPathSeparator);
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string_view KvFileFolder(std::string_view path) {
  const size_t sep = path.rfind(kKvPathSeparator);
  return sep == std::string_view::npos ? std::string_view() : path.substr(0, sep + 1);
}

std::string_view KvFileExt(std::string_view path) {
  const std::string_view name = KvFileName(path);
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view() : name.substr(dot);
}

std::string_view KvFileBaseName(std::string_view path) {
  const std::string_view name = KvFileName(path);
  return name.substr(0, name.size() - KvFileExt(path).size());
}

std::string KvOutputExt(std::string_view ext) {
  if (KvContainsCaseBlind(kKvReadableFormats, ext) &&
      !KvContainsCaseBlind(kKvWritableFormats, ext)) {
    return std::string(kKvFallbackExt);
  }
  return std::string(ext);
}

std::string KvOutputPath(std::string_view source, std::string_view folder,
                         std::string_view prefix) {
  std::string path(folder);
  // One separator between folder and name, also when the folder already ends in one. An empty
  // folder means the current folder, never the root.
  if (!path.empty() && path.back() != kKvPathSeparator) path += kKvPathSeparator;
  path += prefix;
  path += KvFileBaseName(source);
  path += KvOutputExt(KvFileExt(source));
  if (KvSameTextCaseBlind(KvTrim(source), KvTrim(path))) path = WithNewPrefix(path);
  return path;
}

bool KvIsImageListExt(std::string_view path) {
  return KvContainsCaseBlind(kKvReadableFormats, KvFileExt(path));
}

int KvGaugeStep(int fileCount) {
  if (fileCount <= 0) return 0;
  // nearbyint rounds to the nearest integer with halves to even in the default rounding mode.
  return int(std::nearbyint(double(kKvGaugeMax) / fileCount));
}

int KvGaugeAdvance(int progress, int step) {
  const int64_t next = int64_t(progress) + step;
  return int(next < 0 ? 0 : next > kKvGaugeMax ? kKvGaugeMax : next);
}

std::vector<TKvPlannedOutput> KvPlanOutputs(const std::vector<std::string>& sources,
                                            std::string_view folder, std::string_view prefix) {
  constexpr size_t kNone = size_t(-1);
  std::vector<std::string> keys(sources.size());
  std::unordered_map<std::string, size_t> sourceByKey;
  std::set<std::pair<TFileId, size_t>> sourceIds;
  for (size_t i = 0; i < sources.size(); ++i) {
    keys[i] = PathKey(sources[i]);
    sourceByKey.emplace(keys[i], i);
    TFileId id;
    if (FileIdOf(sources[i], id)) sourceIds.emplace(id, i);
  }
  // The first source that `path` names, by spelling or by being the same file; kNone if none.
  auto sourceAt = [&](const std::string& path) -> size_t {
    if (auto it = sourceByKey.find(PathKey(path)); it != sourceByKey.end()) return it->second;
    TFileId id;
    if (!FileIdOf(path, id)) return kNone;
    auto it = sourceIds.lower_bound({id, 0});
    return (it != sourceIds.end() && it->first == id) ? it->second : kNone;
  };
  // Whether source j is the same file as source i (a list may hold one file twice).
  auto sameSource = [&](size_t i, size_t j) {
    if (keys[i] == keys[j]) return true;
    TFileId a, b;
    return FileIdOf(sources[i], a) && FileIdOf(sources[j], b) && a == b;
  };

  std::vector<TKvPlannedOutput> plan(sources.size());
  std::unordered_map<std::string, size_t> claimed;  // output key -> source index
  for (size_t i = 0; i < sources.size(); ++i) {
    std::string path = KvOutputPath(sources[i], folder, prefix);
    size_t hit = sourceAt(path);
    if (hit != kNone && sameSource(i, hit)) {
      // Its own source under another spelling: treated as the name rule treats an equal text.
      path = WithNewPrefix(path);
      hit = sourceAt(path);
    }
    if (hit != kNone) {
      plan[i].Refusal = sources[i] + ": the output " + path + " would replace the source file " +
                        sources[hit] + "; nothing written";
      continue;
    }
    const auto [it, fresh] = claimed.emplace(PathKey(path), i);
    if (!fresh) {
      plan[i].Refusal = sources[i] + ": the output " + path + " is already written for " +
                        sources[it->second] + "; nothing written";
      continue;
    }
    plan[i].Path = std::move(path);
  }
  return plan;
}
