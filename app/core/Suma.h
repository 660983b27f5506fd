// The checksums of the copy an upgrade keeps (Copia.h): what tells an undo that a file is the one
// the run left or kept. A manifest says which kind its sums are (by the version on its first line),
// so that an undo of a copy written by an older version of the program computes that kind.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/fs.h"
#include "engine/pooled_thread.h"

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

// `paths` opened to be read, in their order, for SumasAparte.
std::vector<std::unique_ptr<engine::File>> AbreParaSumar(engine::FileSystem& fs, const std::vector<std::string>& paths);

// The checksums of files the caller opened, each as SumaDe gives it, taken on a thread of their
// own while the caller goes on; the files stay open while the object lives. Espera sums on the
// caller's thread the files that the other has not begun, waits for it and throws the first
// failure, if any; the object waits for its thread when it goes, too.
class SumasAparte {
 public:
  explicit SumasAparte(std::vector<std::unique_ptr<engine::File>> abiertos, TipoDeSuma tipo = kSumaActual);
  ~SumasAparte();
  SumasAparte(const SumasAparte&) = delete;
  SumasAparte& operator=(const SumasAparte&) = delete;
  void Espera();
  // After Espera: in the order of the files given.
  std::vector<uint64_t> bytes;
  std::vector<std::string> sumas;

  struct Reparto;

 private:
  std::vector<std::unique_ptr<engine::File>> abiertos_;
  std::unique_ptr<Reparto> reparto_;
  std::exception_ptr error_;
  engine::PooledThread hilo_;
};

}  // namespace actualiza
