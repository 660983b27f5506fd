#include "engine/listing_cache.h"

#include <type_traits>
#include <utility>

#include "engine/codepage.h"

namespace engine {

namespace {

// Folders are told apart by their spelling: two spellings of one folder keep two listings, and
// any change forgets both.
std::string FolderKey(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir.empty() ? "." : dir;
}

// Whether a name is found only under its own spelling, or under another letter case, so that a
// listing that holds neither says it is missing. Not so: names that are not plain, those that a
// case-blind file system takes for others (trailing dots and blanks dropped); on Windows also
// short names ("CLIENT~1.DBF"), streams ("a:b"), devices ("NUL", "COM1.txt") and names beyond
// ASCII (whose letter case it may fold otherwise).
bool PlainName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ' || !IsValidUtf8(name))
    return false;
#ifdef _WIN32
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x80 || c == '~' || c == ':') return false;
  std::string stem = name.substr(0, name.find('.'));
  for (char& c : stem) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (const char* device : {"con", "prn", "aux", "nul", "conin$", "conout$"})
    if (stem == device) return false;
  if (stem.size() == 4 && (stem.compare(0, 3, "com") == 0 || stem.compare(0, 3, "lpt") == 0) &&
      stem[3] >= '0' && stem[3] <= '9')
    return false;
#endif
  return true;
}

// A folder in use whose end (which may remove the folder) forgets the kept listings.
class ForgettingFolder final : public FolderInUse {
 public:
  ForgettingFolder(std::unique_ptr<FolderInUse> in_use, std::shared_ptr<ListingCache::Kept> kept)
      : in_use_(std::move(in_use)), kept_(std::move(kept)) {}
  ~ForgettingFolder() override {
    in_use_.reset();
    kept_->Forget();
  }

 private:
  std::unique_ptr<FolderInUse> in_use_;
  std::shared_ptr<ListingCache::Kept> kept_;
};

}  // namespace

void ListingCache::Kept::Forget() {
  std::lock_guard<std::mutex> lock(mutex);
  ++generation;
  listings.clear();
}

template <typename Change>
auto ListingCache::Changing(Change&& change) -> decltype(change()) {
  struct ForgetAtEnd {
    Kept& kept;
    ~ForgetAtEnd() { kept.Forget(); }
  } forget{*kept_};
  return change();
}

ListingCache::Known ListingCache::KnownAt(const std::string& path) {
  const std::string name = BaseName(path);
  if (!PlainName(name)) return Known::kAsk;
  const std::string folded = FoldCase(name);
  std::lock_guard<std::mutex> lock(kept_->mutex);
  auto it = kept_->listings.find(FolderKey(DirName(path)));
  if (it == kept_->listings.end()) return Known::kAsk;
  Known known = Known::kMissing;
  for (const DirEntry& e : it->second) {
    if (e.name == name) return e.is_dir ? Known::kFolder : e.is_file ? Known::kFile : Known::kAsk;
    if (!IsValidUtf8(e.name) || FoldCase(e.name) == folded) known = Known::kAsk;
  }
  return known;
}

std::unique_ptr<File> ListingCache::Open(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::kCreate || mode == OpenMode::kCreateExclusive)
    return Changing([&] { return base_->Open(path, mode); });
  return base_->Open(path, mode);
}

bool ListingCache::Exists(const std::string& path) {
  const Known k = KnownAt(path);
  return k == Known::kAsk ? base_->Exists(path) : k != Known::kMissing;
}

bool ListingCache::IsDirectory(const std::string& path) {
  const Known k = KnownAt(path);
  return k == Known::kAsk ? base_->IsDirectory(path) : k == Known::kFolder;
}

bool ListingCache::IsRegularFile(const std::string& path) {
  const Known k = KnownAt(path);
  return k == Known::kAsk ? base_->IsRegularFile(path) : k == Known::kFile;
}

bool ListingCache::IsSymlink(const std::string& path) {
  return KnownAt(path) != Known::kMissing && base_->IsSymlink(path);
}

PathFacts ListingCache::Inspect(const std::string& path) {
  if (KnownAt(path) == Known::kMissing) return PathFacts{};
  return base_->Inspect(path);
}

std::optional<std::string> ListingCache::StoredName(const std::string& dir, const std::string& name) {
  if (KnownAt(JoinPath(dir, name)) == Known::kMissing) return std::nullopt;
  return base_->StoredName(dir, name);
}

std::vector<DirEntry> ListingCache::List(const std::string& dir) {
  const std::string key = FolderKey(dir);
  uint64_t generation;
  {
    std::lock_guard<std::mutex> lock(kept_->mutex);
    auto it = kept_->listings.find(key);
    if (it != kept_->listings.end()) return it->second;
    generation = kept_->generation;
  }
  std::vector<DirEntry> entries = base_->List(dir);
  std::lock_guard<std::mutex> lock(kept_->mutex);
  if (kept_->generation == generation) kept_->listings[key] = entries;
  return entries;
}

void ListingCache::Rename(const std::string& from, const std::string& to) {
  Changing([&] { base_->Rename(from, to); });
}

void ListingCache::Remove(const std::string& path) {
  Changing([&] { base_->Remove(path); });
}

void ListingCache::CreateDirectory(const std::string& path) {
  Changing([&] { base_->CreateDirectory(path); });
}

void ListingCache::RemoveEmptyDirectory(const std::string& path) {
  Changing([&] { base_->RemoveEmptyDirectory(path); });
}

std::unique_ptr<FolderInUse> ListingCache::UseFolder(const std::string& dir) {
  auto in_use = Changing([&] { return base_->UseFolder(dir); });
  return std::make_unique<ForgettingFolder>(std::move(in_use), kept_);
}

void ListingCache::HardLink(const std::string& existing, const std::string& link) {
  Changing([&] { base_->HardLink(existing, link); });
}

ScopedListingCache::ScopedListingCache() : previous_(CurrentFileSystem()), cache_(previous_) {
  SetCurrentFileSystem(&cache_);
}

ScopedListingCache::~ScopedListingCache() { SetCurrentFileSystem(previous_); }

}  // namespace engine
