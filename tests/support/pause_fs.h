// A test hook that holds a run at a chosen point: the first operation of the engine on a path
// that ends with a given suffix (an open, a creation, a rename from or to it, a removal, a listing,
// a folder taken in use). There `action` runs once, given that path, in the run's own thread, before the operation
// goes on to the real file system: what it changes (a link put in place of a file or folder) is
// exactly what the run meets next. No thread, no waiting.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "tests/support/forwarding_fs.h"

namespace testing_support {

class PauseAtPath : public ForwardingFileSystem {
 public:
  PauseAtPath(std::string suffix, std::function<void(const std::string& path)> action)
      : suffix_(std::move(suffix)), action_(std::move(action)) {}
  bool paused() const { return paused_; }

  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override {
    At(path);
    return ForwardingFileSystem::Open(path, mode);
  }
  std::vector<engine::DirEntry> List(const std::string& dir) override {
    At(dir);
    return ForwardingFileSystem::List(dir);
  }
  void Rename(const std::string& from, const std::string& to) override {
    At(from);
    At(to);
    ForwardingFileSystem::Rename(from, to);
  }
  void Remove(const std::string& path) override {
    At(path);
    ForwardingFileSystem::Remove(path);
  }
  void CreateDirectory(const std::string& path) override {
    At(path);
    ForwardingFileSystem::CreateDirectory(path);
  }
  std::unique_ptr<engine::FolderInUse> UseFolder(const std::string& dir) override {
    At(dir);
    return ForwardingFileSystem::UseFolder(dir);
  }

 private:
  // Threads of the run that only read (the copy's sums) come through here too.
  void At(const std::string& path) {
    if (path.size() < suffix_.size() || path.compare(path.size() - suffix_.size(), suffix_.size(), suffix_) != 0 ||
        paused_.exchange(true))
      return;
    action_(path);
  }
  std::string suffix_;
  std::function<void(const std::string&)> action_;
  std::atomic<bool> paused_{false};
};

}  // namespace testing_support
