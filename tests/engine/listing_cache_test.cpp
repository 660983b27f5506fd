// The run's cache of folder listings: what it answers without asking, and that every change the
// process makes through it is seen at once.
#include "engine/listing_cache.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "tests/support/forwarding_fs.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::TempDir;

// Counts what reaches the machine's file system; `during_list` runs inside the next listing.
class Counting : public testing_support::ForwardingFileSystem {
 public:
  int lists = 0, asks = 0;
  std::function<void()> during_list;
  std::vector<DirEntry> List(const std::string& d) override {
    ++lists;
    auto out = ForwardingFileSystem::List(d);
    if (auto f = std::exchange(during_list, nullptr)) f();
    return out;
  }
  bool Exists(const std::string& p) override { return ++asks, ForwardingFileSystem::Exists(p); }
  bool IsDirectory(const std::string& p) override { return ++asks, ForwardingFileSystem::IsDirectory(p); }
  bool IsRegularFile(const std::string& p) override { return ++asks, ForwardingFileSystem::IsRegularFile(p); }
  bool IsSymlink(const std::string& p) override { return ++asks, ForwardingFileSystem::IsSymlink(p); }
  PathFacts Inspect(const std::string& p) override { return ++asks, ForwardingFileSystem::Inspect(p); }
  std::optional<std::string> StoredName(const std::string& d, const std::string& n) override {
    return ++asks, DefaultFileSystem()->StoredName(d, n);
  }
};

void Put(FileSystem& fs, const std::string& path) { fs.Open(path, OpenMode::kCreate); }

std::vector<std::string> Names(const std::vector<DirEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) out.push_back(e.name);
  std::sort(out.begin(), out.end());
  return out;
}

struct Fixture {
  TempDir d;
  Counting base;
  ListingCache cache{&base};
  Fixture() {
    Put(base, d / "Clientes.Dbf");
    base.CreateDirectory(d / "sub");
  }
};

TEST(ListingCache, KeepsAListingUntilTheProcessChangesAFolder) {
  struct Case {
    const char* what;
    std::function<void(Fixture&)> change;  // through the cache; nullptr: nothing changes
    std::vector<std::string> after;        // the folder's names then
  };
  const std::vector<Case> cases = {
      {"nothing", nullptr, {"Clientes.Dbf", "sub"}},
      {"file created", [](Fixture& f) { Put(f.cache, f.d / "Nuevo.dbf"); }, {"Clientes.Dbf", "Nuevo.dbf", "sub"}},
      {"file created exclusively", [](Fixture& f) { f.cache.Open(f.d / "N", OpenMode::kCreateExclusive); },
       {"Clientes.Dbf", "N", "sub"}},
      {"rename", [](Fixture& f) { f.cache.Rename(f.d / "Clientes.Dbf", f.d / "C.dbf"); }, {"C.dbf", "sub"}},
      {"removal", [](Fixture& f) { f.cache.Remove(f.d / "Clientes.Dbf"); }, {"sub"}},
      {"folder made", [](Fixture& f) { f.cache.CreateDirectory(f.d / "otra"); }, {"Clientes.Dbf", "otra", "sub"}},
      {"folder removed", [](Fixture& f) { f.cache.RemoveEmptyDirectory(f.d / "sub"); }, {"Clientes.Dbf"}},
      {"hard link", [](Fixture& f) { f.cache.HardLink(f.d / "Clientes.Dbf", f.d / "L"); }, {"Clientes.Dbf", "L", "sub"}},
      {"folder used, then left (and removed, being empty)",
       [](Fixture& f) {
         auto in_use = f.cache.UseFolder(f.d / "trabajo");
         EXPECT_EQ(Names(f.cache.List(f.d.path())), (std::vector<std::string>{"Clientes.Dbf", "sub", "trabajo"}));
       },
       {"Clientes.Dbf", "sub"}},
      {"a change that fails", [](Fixture& f) { EXPECT_THROW(f.cache.Rename(f.d / "no", f.d / "x"), EngineError); },
       {"Clientes.Dbf", "sub"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    EXPECT_EQ(Names(f.cache.List(f.d.path())), (std::vector<std::string>{"Clientes.Dbf", "sub"}));
    EXPECT_EQ(Names(f.cache.List(f.d.path() + "/")), (std::vector<std::string>{"Clientes.Dbf", "sub"}));
    EXPECT_EQ(f.base.lists, 1);
    if (c.change) c.change(f);
    const int before = f.base.lists;
    EXPECT_EQ(Names(f.cache.List(f.d.path())), c.after);
    EXPECT_EQ(f.base.lists, before + (c.change ? 1 : 0));
  }
}

TEST(ListingCache, AListingReadWhileTheProcessChangesTheFolderIsNotKept) {
  Fixture f;
  f.base.during_list = [&] { Put(f.cache, f.d / "Nuevo.dbf"); };
  EXPECT_EQ(Names(f.cache.List(f.d.path())), (std::vector<std::string>{"Clientes.Dbf", "sub"}));
  EXPECT_EQ(Names(f.cache.List(f.d.path())), (std::vector<std::string>{"Clientes.Dbf", "Nuevo.dbf", "sub"}));
  EXPECT_EQ(f.base.lists, 2);
}

TEST(ListingCache, AnswersFromItsListingsWhatTheyShow) {
  struct Case {
    std::string name;
    bool kind_asked;  // whether Exists, IsRegularFile and IsDirectory must ask the file system
    bool asked;       // whether anything must (Inspect and StoredName ask about what is there)
  };
  const std::vector<Case> cases = {
      // Listed under that very spelling: a file or a folder.
      {"Clientes.Dbf", false, true},
      {"sub", false, true},
      // Not listed under any letter case.
      {".Clientes.Dbf.diario", false, false},
      {"Clientes.MDX", false, false},
      // A listed name under another letter case, and names a file system may take for others
      // (trailing dots, on Windows short names and devices) are asked about.
      {"CLIENTES.DBF", true, true},
      {"Clientes.Dbf.", true, true},
      {"..", true, true},
#ifdef _WIN32
      {"CLIENT~1.DBF", true, true},
      {"nul", true, true},
      {"Año.dbf", true, true},
#else
      {"Año.dbf", false, false},
      // Links are taken for what they lead to; a link to nothing and a pipe are asked about.
      {"enlace.dbf", false, true},
      {"enlace-sub", false, true},
      {"roto", true, true},
      {"tubo", true, true},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
#ifndef _WIN32
    ASSERT_EQ(::symlink("Clientes.Dbf", (f.d / "enlace.dbf").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (f.d / "enlace-sub").c_str()), 0);
    ASSERT_EQ(::symlink("nada", (f.d / "roto").c_str()), 0);
    ASSERT_EQ(::mkfifo((f.d / "tubo").c_str(), 0600), 0);
#endif
    const std::string path = f.d / c.name;
    FileSystem& machine = *DefaultFileSystem();
    // Before the folder is listed, everything is asked.
    f.cache.Exists(path);
    EXPECT_EQ(f.base.asks, 1);
    f.cache.List(f.d.path());
    f.base.asks = 0;
    EXPECT_EQ(f.cache.Exists(path), machine.Exists(path));
    EXPECT_EQ(f.cache.IsRegularFile(path), machine.IsRegularFile(path));
    EXPECT_EQ(f.cache.IsDirectory(path), machine.IsDirectory(path));
    EXPECT_EQ(f.base.asks > 0, c.kind_asked);
    EXPECT_EQ(f.cache.Inspect(path).exists, machine.Inspect(path).exists);
    EXPECT_EQ(f.cache.StoredName(f.d.path(), c.name), machine.StoredName(f.d.path(), c.name));
    EXPECT_EQ(f.base.asks > 0, c.asked);
  }
  // A name in a folder never listed is asked about.
  Fixture f;
  f.cache.List(f.d.path());
  f.base.asks = 0;
  EXPECT_FALSE(f.cache.Exists(f.d / "sub/nada"));
  EXPECT_EQ(f.base.asks, 1);
}

TEST(ListingCache, InstalledForAScopeOverTheCurrentFileSystem) {
  FileSystem* before = CurrentFileSystem();
  {
    ScopedListingCache scope;
    EXPECT_NE(dynamic_cast<ListingCache*>(CurrentFileSystem()), nullptr);
  }
  EXPECT_EQ(CurrentFileSystem(), before);
}

}  // namespace
}  // namespace engine
