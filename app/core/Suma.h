// The checksums of the copy an upgrade keeps (Copia.h): what tells an undo that a file is the one
// the run left or kept. A manifest says which kind its sums are (by the version on its first line),
// so that an undo of a copy written by an older version of the program computes that kind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs.h"

namespace actualiza {

enum class TipoDeSuma {
  // The first kind: one multiply-rotate chain over the file's 8-byte words, each step waiting for
  // the one before (about one byte per processor cycle). Copies of version 1 use it.
  kSerie = 1,
  // Four such chains, word i going to chain i % 4, joined at the end: the processor runs the
  // chains side by side. Copies of version 2 use it.
  kCuatroCarriles = 2,
};

// The kind that new copies use.
inline constexpr TipoDeSuma kSumaActual = TipoDeSuma::kCuatroCarriles;

// The checksum of a file's content, 16 hexadecimal digits; `bytes` (optional) gets its size.
std::string SumaDe(engine::FileSystem& fs, const std::string& path, uint64_t* bytes = nullptr,
                   TipoDeSuma tipo = kSumaActual);

// The checksums of several files (a table's family), each as SumaDe gives it, in the order of
// `paths`; `bytes` gets their sizes. Where they are large enough to be worth it, two threads take
// the files, the largest first. A failure on any of them is thrown once both have stopped.
std::vector<std::string> SumasDe(engine::FileSystem& fs, const std::vector<std::string>& paths,
                                 std::vector<uint64_t>& bytes, TipoDeSuma tipo = kSumaActual);

// The size of the buffer SumasEnEsteHilo reads through.
inline constexpr size_t kBuferDeSuma = 256u << 10;

// The same on the calling thread alone, reading through `bufer` (kBuferDeSuma bytes): for a
// thread that works beside others and lives shorter than the run.
std::vector<std::string> SumasEnEsteHilo(engine::FileSystem& fs, const std::vector<std::string>& paths,
                                         std::vector<uint64_t>& bytes, TipoDeSuma tipo, unsigned char* bufer);
// The same for files the caller opened and keeps open.
std::vector<std::string> SumasDeAbiertos(std::vector<std::unique_ptr<engine::File>>& files,
                                         std::vector<uint64_t>& bytes, TipoDeSuma tipo, unsigned char* bufer);

}  // namespace actualiza
