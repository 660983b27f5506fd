// A folder of its own for one test, removed with everything in it when the test ends.
#pragma once

#include <filesystem>
#include <map>
#include <string>

namespace testing_support {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Byte-level file helpers for tests (they bypass the engine on purpose).
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
void CopyFile(const std::string& from, const std::string& to);
bool FileExists(const std::string& path);
// Makes a folder and the folders above it that are missing (paths in UTF-8, as the engine's).
void MakeFolders(const std::string& path);
// Everything under a folder, by path relative to it: a file's bytes, "<carpeta>" for a folder,
// "-> target" for a symbolic link (not followed). Two snapshots compare equal when nothing in
// the folder changed.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// A path of std::filesystem as the engine takes it: UTF-8 with '/' separators (its string() is
// in the ANSI code page on Windows).
std::string Utf8Path(const std::filesystem::path& p);
// A '/'-separated path as this system's messages write it ('\\' on Windows).
std::string SystemSeparators(std::string path);

// The folder of sample tables (tests/data, or the one ACTUALIZA_SAMPLES names), or "" when it
// is absent: the tests that read it then skip, with NoSamples() as their reason.
std::string SamplesDir();
std::string NoSamples();

}  // namespace testing_support
