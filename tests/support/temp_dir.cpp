#include "tests/support/temp_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {
namespace {

// The engine's paths are UTF-8; std::filesystem takes narrow strings in the system's code page
// on Windows, so they go through char8_t, and come back with '/' separators.
fs::path FsPath(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string Utf8(const fs::path& p) {
  std::u8string s = p.generic_u8string();
  return std::string(s.begin(), s.end());
}

}  // namespace

TempDir::TempDir() {
  // A new folder of a random name (create_directory says whether it was there already).
  std::random_device rd;
  std::mt19937_64 gen((static_cast<uint64_t>(rd()) << 32) ^ rd());
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "actualiza-test-%012llx",
                  static_cast<unsigned long long>(gen() & 0xFFFFFFFFFFFFULL));
    fs::path p = base / name;
    if (fs::create_directory(p)) {
      path_ = Utf8(p);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(FsPath(path_), ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string Utf8Path(const fs::path& p) { return Utf8(p); }

std::string SystemSeparators(std::string path) {
#ifdef _WIN32
  for (char& c : path)
    if (c == '/') c = '\\';
#endif
  return path;
}

void MakeFolders(const std::string& path) { fs::create_directories(FsPath(path)); }

void CopyFile(const std::string& from, const std::string& to) {
  fs::copy_file(FsPath(from), FsPath(to), fs::copy_options::overwrite_existing);
  fs::permissions(FsPath(to), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

bool FileExists(const std::string& path) { return fs::exists(FsPath(path)); }

std::string SamplesDir() {
  if (const char* env = std::getenv("ACTUALIZA_SAMPLES")) return env;
  std::string dir = ACTUALIZA_SAMPLES_DIR;
  return fs::is_directory(FsPath(dir)) ? dir : std::string();
}

std::string NoSamples() {
  return std::string("no sample tables: the folder ") + ACTUALIZA_SAMPLES_DIR +
         " (tests/data of the repository) is absent; ACTUALIZA_SAMPLES can name another";
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  const fs::path root = FsPath(dir);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    std::string rel = Utf8(fs::relative(p, root));
    if (it->is_symlink()) {
      out[rel] = "-> " + Utf8(fs::read_symlink(p));
      it.disable_recursion_pending();
    } else if (it->is_directory()) {
      out[rel] = "<carpeta>";
    } else if (it->is_regular_file()) {
      out[rel] = ReadFileBytes(Utf8(p));
    } else {
      out[rel] = "<especial>";
    }
  }
  return out;
}

}  // namespace testing_support
