// Bases for test file systems that watch or bend a few calls: every call goes on to the wrapped
// file or file system unless a subclass overrides it.
#pragma once

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/fs.h"

namespace testing_support {

class ForwardingFile : public engine::File {
 public:
  explicit ForwardingFile(std::unique_ptr<engine::File> f) : File(f->path()), f_(std::move(f)) {}
  size_t ReadAt(uint64_t offset, void* buf, size_t n) override { return f_->ReadAt(offset, buf, n); }
  void WriteAt(uint64_t offset, const void* buf, size_t n) override { f_->WriteAt(offset, buf, n); }
  uint64_t Size() override { return f_->Size(); }
  void Truncate(uint64_t size) override { f_->Truncate(size); }
  void Sync() override { f_->Sync(); }
  void StartWriteback(uint64_t offset, uint64_t n) override { f_->StartWriteback(offset, n); }
  void StartFlush() override { f_->StartFlush(); }
  bool TryLockShared() override { return f_->TryLockShared(); }
  bool TryLockExclusive() override { return f_->TryLockExclusive(); }
  void Unlock() override { f_->Unlock(); }
  bool StillAtPath() override { return f_->StillAtPath(); }

 private:
  std::unique_ptr<engine::File> f_;
};

class ForwardingFileSystem : public engine::FileSystem {
 public:
  explicit ForwardingFileSystem(engine::FileSystem* base = engine::DefaultFileSystem()) : base_(base) {}
  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override {
    return base_->Open(path, mode);
  }
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  bool IsDirectory(const std::string& path) override { return base_->IsDirectory(path); }
  bool IsRegularFile(const std::string& path) override { return base_->IsRegularFile(path); }
  bool IsSymlink(const std::string& path) override { return base_->IsSymlink(path); }
  engine::PathFacts Inspect(const std::string& path) override { return base_->Inspect(path); }
  std::string RealPath(const std::string& path) override { return base_->RealPath(path); }
  std::vector<engine::DirEntry> List(const std::string& dir) override { return base_->List(dir); }
  void Rename(const std::string& from, const std::string& to) override { base_->Rename(from, to); }
  void Remove(const std::string& path) override { base_->Remove(path); }
  void CreateDirectory(const std::string& path) override { base_->CreateDirectory(path); }
  void RemoveEmptyDirectory(const std::string& path) override { base_->RemoveEmptyDirectory(path); }
  void SyncDirectory(const std::string& dir) override { base_->SyncDirectory(dir); }
  std::unique_ptr<engine::FolderInUse> UseFolder(const std::string& dir) override { return base_->UseFolder(dir); }
  void HardLink(const std::string& existing, const std::string& link) override { base_->HardLink(existing, link); }
  engine::FileId Identity(const std::string& path) override { return base_->Identity(path); }
  std::optional<uint64_t> FreeSpace(const std::string& path) override { return base_->FreeSpace(path); }
  void DropCachedPages(const std::string& path) override { base_->DropCachedPages(path); }

 protected:
  engine::FileSystem* base() { return base_; }

 private:
  engine::FileSystem* base_;
};

// A file system mounted read-only: reading works, every change fails as the system refuses it.
class ReadOnlyFileSystem : public ForwardingFileSystem {
 public:
  using ForwardingFileSystem::ForwardingFileSystem;
  std::unique_ptr<engine::File> Open(const std::string& path, engine::OpenMode mode) override {
    if (mode != engine::OpenMode::kRead) Refuse("abrir para escribir", path);
    return std::make_unique<File>(base()->Open(path, mode));
  }
  void Rename(const std::string& from, const std::string&) override { Refuse("renombrar", from); }
  void Remove(const std::string& path) override { Refuse("borrar", path); }
  void CreateDirectory(const std::string& path) override { Refuse("crear la carpeta", path); }
  void RemoveEmptyDirectory(const std::string& path) override { Refuse("borrar la carpeta", path); }
  void SyncDirectory(const std::string& dir) override { Refuse("asegurar en disco", dir); }
  std::unique_ptr<engine::FolderInUse> UseFolder(const std::string& dir) override { Refuse("crear la carpeta", dir); }

 private:
  class File : public ForwardingFile {
   public:
    using ForwardingFile::ForwardingFile;
    void WriteAt(uint64_t, const void*, size_t) override { throw engine::IoError("escribir", path(), EROFS); }
    void Truncate(uint64_t) override { throw engine::IoError("recortar", path(), EROFS); }
    void Sync() override { throw engine::IoError("asegurar en disco", path(), EROFS); }
  };
  [[noreturn]] static void Refuse(const std::string& what, const std::string& path) {
    throw engine::IoError(what, path, EROFS);
  }
};

}  // namespace testing_support
