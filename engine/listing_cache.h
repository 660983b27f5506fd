// A file system that remembers folder listings between this process's own changes, for a run
// that holds its installation (so that nobody else works on its folders meanwhile) and looks the
// same folders up again and again: table by table, every open, restructure and swap lists the
// folder to match names without regard to letter case, and asks after files that are not there
// (journals, companions). On a shared folder each of those is a round trip to the server.
//
// A listing is kept until this process changes any folder through this file system (a file
// created, a rename, a removal, a folder made, used or left): every kept listing is then
// forgotten, so a listing never misses what the run itself did. A plain name that a kept listing
// of its folder does not hold, under any letter case, is answered as missing without asking (on
// Windows only names that it cannot find under another form: ASCII, no short names or devices);
// one that it holds under that very spelling, as a folder or a regular file (links followed), is
// answered as such. Everything else goes to the wrapped file system. Safe to use from several
// threads.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/fs.h"

namespace engine {

class ListingCache final : public FileSystem {
 public:
  explicit ListingCache(FileSystem* base) : base_(base), kept_(std::make_shared<Kept>()) {}

  std::unique_ptr<File> Open(const std::string& path, OpenMode mode) override;
  bool Exists(const std::string& path) override;
  bool IsDirectory(const std::string& path) override;
  bool IsRegularFile(const std::string& path) override;
  bool IsSymlink(const std::string& path) override;
  PathFacts Inspect(const std::string& path) override;
  std::string RealPath(const std::string& path) override { return base_->RealPath(path); }
  std::vector<DirEntry> List(const std::string& dir) override;
  std::optional<std::string> StoredName(const std::string& dir, const std::string& name) override;
  void Rename(const std::string& from, const std::string& to) override;
  void Remove(const std::string& path) override;
  void CreateDirectory(const std::string& path) override;
  void RemoveEmptyDirectory(const std::string& path) override;
  std::unique_ptr<FolderInUse> UseFolder(const std::string& dir) override;
  void SyncDirectory(const std::string& dir) override { base_->SyncDirectory(dir); }
  void HardLink(const std::string& existing, const std::string& link) override;
  FileId Identity(const std::string& path) override { return base_->Identity(path); }
  std::optional<uint64_t> FreeSpace(const std::string& path) override { return base_->FreeSpace(path); }
  void DropCachedPages(const std::string& path) override { base_->DropCachedPages(path); }

  // What is kept, shared with the folders in use handed out (their end may remove a folder).
  struct Kept {
    std::mutex mutex;
    uint64_t generation = 0;  // moves on with every Forget: a listing read across one is not kept
    std::map<std::string, std::vector<DirEntry>> listings;  // by folder, as the callers spell it
    void Forget();
  };

 private:
  // What a kept listing of the folder of `path` shows there: nothing (under any letter case), a
  // folder or a regular file under that very spelling, or kAsk when it cannot tell.
  enum class Known { kAsk, kMissing, kFolder, kFile };
  Known KnownAt(const std::string& path);
  // Runs a change through the wrapped file system, then forgets every listing (also when it fails).
  template <typename Change>
  auto Changing(Change&& change) -> decltype(change());

  FileSystem* base_;
  std::shared_ptr<Kept> kept_;
};

// Puts a ListingCache over the current file system for as long as it lives. Nothing else may
// install a file system meanwhile, and every thread that uses the engine must have stopped
// before it ends.
class ScopedListingCache {
 public:
  ScopedListingCache();
  ~ScopedListingCache();
  ScopedListingCache(const ScopedListingCache&) = delete;
  ScopedListingCache& operator=(const ScopedListingCache&) = delete;

 private:
  FileSystem* previous_;
  ListingCache cache_;
};

}  // namespace engine
