#include "tests/support/fault_fs.h"

#include <cerrno>

#include "engine/error.h"

namespace testing_support {

namespace {

class FaultFile final : public engine::File {
 public:
  FaultFile(FaultInjectionFileSystem* fs, std::unique_ptr<engine::File> base)
      : engine::File(base->path()), fs_(fs), base_(std::move(base)) {}
  size_t ReadAt(uint64_t offset, void* buf, size_t n) override { return base_->ReadAt(offset, buf, n); }
  void WriteAt(uint64_t offset, const void* buf, size_t n) override {
    fs_->BeforeMutation("escribir", path());
    base_->WriteAt(offset, buf, n);
  }
  uint64_t Size() override { return base_->Size(); }
  void Truncate(uint64_t size) override {
    fs_->BeforeMutation("recortar", path());
    base_->Truncate(size);
  }
  void Sync() override {
    fs_->BeforeMutation("asegurar en disco", path());
    base_->Sync();
  }
  bool TryLockShared() override { return base_->TryLockShared(); }
  bool TryLockExclusive() override { return base_->TryLockExclusive(); }
  void Unlock() override { base_->Unlock(); }
  bool StillAtPath() override { return base_->StillAtPath(); }

 private:
  FaultInjectionFileSystem* fs_;
  std::unique_ptr<engine::File> base_;
};

}  // namespace

FaultInjectionFileSystem::FaultInjectionFileSystem(engine::FileSystem* base) : base_(base) {}

void FaultInjectionFileSystem::Arm(Mode m, uint64_t n) {
  mode_ = m;
  target_ = ops_ + n;
  crashed_ = false;
  fired_ = false;
}

void FaultInjectionFileSystem::BeforeMutation(const std::string& what, const std::string& path) {
  ++ops_;
  if (crashed_) throw engine::IoError(what, path, EIO);
  if (mode_ == Mode::kNone || ops_ != target_) return;
  fired_ = true;
  if (mode_ == Mode::kCrash) crashed_ = true;
  throw engine::IoError(what, path, EIO);
}

std::unique_ptr<engine::File> FaultInjectionFileSystem::Open(const std::string& path, engine::OpenMode mode) {
  if (mode == engine::OpenMode::kCreate || mode == engine::OpenMode::kCreateExclusive)
    BeforeMutation("crear", path);
  else if (crashed_)
    throw engine::IoError("abrir", path, EIO);
  return std::make_unique<FaultFile>(this, base_->Open(path, mode));
}

void FaultInjectionFileSystem::Rename(const std::string& from, const std::string& to) {
  BeforeMutation("renombrar", from);
  base_->Rename(from, to);
}

void FaultInjectionFileSystem::Remove(const std::string& path) {
  BeforeMutation("borrar", path);
  base_->Remove(path);
}

void FaultInjectionFileSystem::CreateDirectory(const std::string& path) {
  BeforeMutation("crear la carpeta", path);
  base_->CreateDirectory(path);
}

void FaultInjectionFileSystem::RemoveEmptyDirectory(const std::string& path) {
  BeforeMutation("borrar la carpeta", path);
  base_->RemoveEmptyDirectory(path);
}

std::unique_ptr<engine::FolderInUse> FaultInjectionFileSystem::UseFolder(const std::string& dir) {
  BeforeMutation("crear la carpeta", dir);
  return base_->UseFolder(dir);
}

void FaultInjectionFileSystem::HardLink(const std::string& existing, const std::string& link) {
  BeforeMutation("enlazar", link);
  if (refuse_links_) throw engine::IoError("enlazar como " + link, existing, EXDEV);
  base_->HardLink(existing, link);
}

void FaultInjectionFileSystem::SyncDirectory(const std::string& dir) {
  BeforeMutation("asegurar en disco", dir);
  base_->SyncDirectory(dir);
}

void RunWithFaultAt(uint64_t n, bool crash, const std::function<void()>& work) {
  FaultInjectionFileSystem faults;
  ScopedFileSystem use(&faults);
  if (crash)
    faults.CrashAt(n);
  else
    faults.FailAt(n);
  try {
    work();
  } catch (const engine::EngineError&) {
  }
}

}  // namespace testing_support
