// A file system for tests that passes every call to the real one and, at a chosen mutating
// operation (a write, truncation, sync, rename, removal, creation), either fails it with an I/O
// error or "crashes": that operation and every later one fail, as if the machine had stopped
// there. Counting first (no fault set) tells a test how many operations a procedure performs, so
// it can then fault each one in turn.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/fs.h"

namespace testing_support {

class FaultInjectionFileSystem : public engine::FileSystem {
 public:
  enum class Mode { kNone, kFailOnce, kCrash };
  explicit FaultInjectionFileSystem(engine::FileSystem* base = engine::DefaultFileSystem());

  // Fault the n-th mutating operation from now (1-based).
  void FailAt(uint64_t n) { Arm(Mode::kFailOnce, n); }
  void CrashAt(uint64_t n) { Arm(Mode::kCrash, n); }
  void Disarm() { Arm(Mode::kNone, 0); }
  // Every hard link fails as on a file system without them (FAT, some shares), besides any fault.
  void RefuseHardLinks(bool refuse = true) { refuse_links_ = refuse; }
  uint64_t mutating_ops() const { return ops_; }
  bool crashed() const { return crashed_; }
  bool fault_fired() const { return fired_; }
  // The free space every volume reports from now on (nullopt: the real volume's).
  void SetFreeSpace(std::optional<uint64_t> bytes) { free_space_ = bytes; }

  // Called by files and by this file system before each mutating operation; throws when the
  // fault strikes.
  void BeforeMutation(const std::string& what, const std::string& path);

  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override;
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  bool IsDirectory(const std::string& path) override { return base_->IsDirectory(path); }
  bool IsRegularFile(const std::string& path) override { return base_->IsRegularFile(path); }
  bool IsSymlink(const std::string& path) override { return base_->IsSymlink(path); }
  engine::PathFacts Inspect(const std::string& path) override { return base_->Inspect(path); }
  std::string RealPath(const std::string& path) override { return base_->RealPath(path); }
  std::vector<engine::DirEntry> List(const std::string& dir) override { return base_->List(dir); }
  void Rename(const std::string& from, const std::string& to) override;
  void Remove(const std::string& path) override;
  void CreateDirectory(const std::string& path) override;
  void SyncDirectory(const std::string& dir) override;
  void RemoveEmptyDirectory(const std::string& path) override;
  std::unique_ptr<engine::FolderInUse> UseFolder(const std::string& dir) override;
  void HardLink(const std::string& existing, const std::string& link) override;
  engine::FileId Identity(const std::string& path) override { return base_->Identity(path); }
  std::optional<uint64_t> FreeSpace(const std::string& path) override {
    return free_space_ ? free_space_ : base_->FreeSpace(path);
  }

 private:
  void Arm(Mode m, uint64_t n);
  engine::FileSystem* base_;
  Mode mode_ = Mode::kNone;
  uint64_t target_ = 0;
  uint64_t ops_ = 0;
  std::atomic<bool> crashed_{false};  // read by threads that only read, beside the one that writes
  bool fired_ = false;
  bool refuse_links_ = false;
  std::optional<uint64_t> free_space_;
};

// Installs a file system for the engine for the lifetime of this object.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(engine::FileSystem* fs) : prev_(engine::SetCurrentFileSystem(fs)) {}
  ~ScopedFileSystem() { engine::SetCurrentFileSystem(prev_); }

 private:
  engine::FileSystem* prev_;
};

// Runs `work` on a fault-injecting file system whose n-th mutating operation fails (or, with
// `crash`, the machine stops there); the engine error that results is expected and swallowed.
void RunWithFaultAt(uint64_t n, bool crash, const std::function<void()>& work);

}  // namespace testing_support
