#include "engine/path.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "engine/codepage.h"
#include "engine/fs.h"

namespace engine {

bool IsFolderName(const std::string& name) {
  return name.find_first_of(":\\/") != std::string::npos;
}

std::string WindowsComponent(const std::string& name) {
  size_t n = name.size();
  while (n > 0 && (name[n - 1] == '.' || name[n - 1] == ' ')) --n;
  return name.substr(0, n);
}

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Length of a leading network name "\\server\share" (either separator), 0 when there is none.
size_t UncPrefixLength(const std::string& name) {
  if (name.size() < 3 || !IsSeparator(name[0]) || !IsSeparator(name[1]) || IsSeparator(name[2])) return 0;
  size_t server_end = 2;
  while (server_end < name.size() && !IsSeparator(name[server_end])) ++server_end;
  size_t share = server_end;
  while (share < name.size() && IsSeparator(name[share])) ++share;
  if (share == name.size()) return 0;  // a server with no share is no folder
  size_t share_end = share;
  while (share_end < name.size() && !IsSeparator(name[share_end])) ++share_end;
  return share_end;
}

}  // namespace

std::string NormalizeSeparators(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  // A network folder keeps both of its leading separators: "//server/share" is not "/server/share".
  if (UncPrefixLength(name) > 0) out = "//";
  for (char c : name.substr(out.size())) {
    char d = c == '\\' ? '/' : c;
    if (d == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(d);
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

namespace {

std::string DiskNameAsUtf8(const std::string& disk) {
  if (IsValidUtf8(disk)) return disk;
  return CodePage::Ansi().Decode(disk);
}

// Finds the entry of `dir` that matches `want`; exact name first.
std::optional<std::string> MatchNameInDir(FileSystem& fs, const std::string& dir, const std::string& want) {
  if (auto stored = fs.StoredName(dir, want)) return stored;
  std::vector<DirEntry> entries;
  try {
    entries = fs.List(dir.empty() ? "." : dir);
  } catch (...) {
    return std::nullopt;
  }
  const std::string folded = FoldCase(want);
  for (const auto& e : entries)
    if (e.name == want) return e.name;
  for (const auto& e : entries)
    if (FoldCase(DiskNameAsUtf8(e.name)) == folded) return e.name;
  return std::nullopt;
}

// Finds the entry of `dir` that `want` names: under that very name first, else under the name
// Windows gives it (trailing dots and blanks dropped), since the folders were made there.
std::optional<std::string> MatchInDir(FileSystem& fs, const std::string& dir, const std::string& want) {
  if (auto m = MatchNameInDir(fs, dir, want)) return m;
  const std::string windows = WindowsComponent(want);
  if (windows.empty() || windows == want) return std::nullopt;
  return MatchNameInDir(fs, dir, windows);
}

std::optional<std::string> Resolve(const std::string& raw, bool last_may_be_missing) {
  FileSystem& fs = *CurrentFileSystem();
  std::string path = NormalizeSeparators(raw);
  if (path.empty()) return std::nullopt;
  std::vector<std::string> parts;
  std::string cur;
  size_t start = 0;
  std::string result;
  if (size_t unc = UncPrefixLength(path); unc > 0) {
    // The server and share are taken as written; matching starts in the share.
    result = path.substr(0, unc);
    start = unc;
  } else if (path[0] == '/') {
    result = "/";
    start = 1;
  }
  for (size_t i = start; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(path[i]);
    }
  }
  std::string dir = result;
  size_t first = 0;
#ifndef _WIN32
  // Where names are told apart by letter case, a path that exists as written is its own stored
  // spelling, and so is every folder of it: one look-up for the whole path, or for its folder,
  // instead of one for each of its components. (Windows gives the stored spelling of each one.)
  auto join = [&](size_t n) {
    std::string out = result;
    for (size_t k = 0; k < n; ++k) out = out.empty() ? parts[k] : out == "/" ? "/" + parts[k] : out + "/" + parts[k];
    return out;
  };
  const bool plain =
      std::none_of(parts.begin(), parts.end(), [](const std::string& p) { return p == "." || p == ".."; });
  if (!parts.empty() && plain) {
    std::string whole = join(parts.size());
    if (fs.Exists(whole)) return whole;
    std::string folder = join(parts.size() - 1);
    if (parts.size() == 1 || fs.Exists(folder)) {
      dir = std::move(folder);
      first = parts.size() - 1;
    }
  }
#endif
  for (size_t k = first; k < parts.size(); ++k) {
    const std::string& part = parts[k];
    std::string next;
    if (part == "." || part == "..") {
      next = part;
    } else {
      auto m = MatchInDir(fs, dir == "/" ? "/" : dir, part);
      if (!m) {
        if (last_may_be_missing && k + 1 == parts.size()) {
          next = WindowsComponent(part).empty() ? part : WindowsComponent(part);
        } else {
          return std::nullopt;
        }
      } else {
        next = *m;
      }
    }
    dir = dir.empty() ? next : (dir == "/" ? "/" + next : dir + "/" + next);
  }
  return dir;
}

}  // namespace

std::optional<std::string> AsWritten(const std::string& path) {
#ifdef _WIN32
  (void)path;
  return std::nullopt;
#else
  std::string out = NormalizeSeparators(path);
  if (out.empty()) return std::nullopt;
  for (size_t at = 0; at <= out.size();) {
    size_t end = out.find('/', at);
    if (end == std::string::npos) end = out.size();
    const std::string_view part(out.data() + at, end - at);
    if (part == "." || part == "..") return std::nullopt;
    at = end + 1;
  }
  return out;
#endif
}

std::optional<std::string> ResolveExisting(const std::string& path) { return Resolve(path, false); }
std::optional<std::string> ResolveForCreate(const std::string& path) { return Resolve(path, true); }

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  return FoldCase(a) == FoldCase(b);
}

std::string UpperExtension(const std::string& name) {
  std::string base = BaseName(NormalizeSeparators(name));
  auto dot = base.find_last_of('.');
  if (dot == std::string::npos) return "";
  std::string ext = base.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return ext;
}

std::string ReplaceExtension(const std::string& name, const std::string& ext) {
  auto slash = name.find_last_of('/');
  auto dot = name.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name + "." + ext;
  return name.substr(0, dot + 1) + ext;
}

std::optional<std::string> FindCompanion(const std::string& path, const std::string& ext) {
  return ResolveExisting(ReplaceExtension(path, ext));
}

bool HasAnyCompanion(const std::string& path, std::initializer_list<const char*> exts) {
#ifdef _WIN32
  // Windows gives a name's stored spelling without a listing.
  return std::any_of(exts.begin(), exts.end(), [&](const char* ext) { return FindCompanion(path, ext).has_value(); });
#else
  // One listing of the folder answers for every extension, the names spelt as asked included.
  FileSystem& fs = *CurrentFileSystem();
  std::vector<std::string> exact, folded;
  for (const char* ext : exts) {
    const std::string companion = BaseName(ReplaceExtension(path, ext));
    folded.push_back(FoldCase(companion));
    exact.push_back(companion);
  }
  const std::string dir = DirName(NormalizeSeparators(path));
  std::vector<DirEntry> entries;
  try {
    entries = fs.List(dir.empty() ? "." : dir);
  } catch (...) {
    // The folder as written is not there: matched without regard to letter case.
    const std::optional<std::string> folder = ResolveExisting(dir.empty() ? "." : dir);
    if (!folder) return false;
    try {
      entries = fs.List(*folder);
    } catch (...) {
      return false;
    }
  }
  for (const auto& e : entries)
    if (std::find(exact.begin(), exact.end(), e.name) != exact.end() ||
        std::find(folded.begin(), folded.end(), FoldCase(DiskNameAsUtf8(e.name))) != folded.end())
      return true;
  return false;
#endif
}

}  // namespace engine
