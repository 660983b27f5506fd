// What fs.cpp shares with each platform's file system about held folders (fs.h: HeldFolder,
// FolderInUse): the registry of the folders this process holds, and how a path is matched to it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine::held {

struct FolderId {
  uint64_t device = 0, number = 0;
  bool operator==(const FolderId&) const = default;
};

// Platform: the identity of the folder that `dir` names now, links followed; nullopt when it is
// not an existing folder.
std::optional<FolderId> IdentifyFolder(const std::string& dir);

// A path as matched against held folders: its components without "." and empty ones.
struct Lexical {
  bool absolute = false;
  std::vector<std::string> parts;
  std::string Join(size_t n) const;  // the first n components as a path ("." when none)
};
Lexical Split(const std::string& path);

struct Held {
  std::string path;  // as held, Lexical-joined
  size_t depth = 0;  // its number of components
  FolderId id;
  bool no_links = false;  // a folder in use: files in it are never reached through a link
  uint64_t key = 0;       // this hold's own number, never given to another (Add's result)
};

// The held folders that are `dir` or one of its ancestors, outermost first.
std::vector<Held> Above(const std::string& dir);
uint64_t Add(const std::string& dir, FolderId id, bool no_links);
void Drop(uint64_t id);
// Whether `dir` itself is a folder in use (see Held::no_links).
bool LinksRefusedIn(const std::string& dir);

}  // namespace engine::held
