#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "actualiza-test-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void CopyFile(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
}

bool FileExists(const std::string& path) { return fs::exists(path); }

std::string SamplesDir() {
  if (const char* env = std::getenv("ACTUALIZA_SAMPLES")) return env;
  std::string dir = ACTUALIZA_SAMPLES_DIR;
  return fs::is_directory(dir) ? dir : std::string();
}

std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path& p = it->path();
    std::string rel = fs::relative(p, dir).string();
    if (it->is_symlink()) {
      out[rel] = "-> " + fs::read_symlink(p).string();
      it.disable_recursion_pending();
    } else if (it->is_directory()) {
      out[rel] = "<carpeta>";
    } else if (it->is_regular_file()) {
      out[rel] = ReadFileBytes(p.string());
    } else {
      out[rel] = "<especial>";
    }
  }
  return out;
}

}  // namespace testing_support
