#include "app/core/Suma.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <exception>
#include <memory>

namespace actualiza {

namespace {

// A multiple of 32: every read but the last ends on a word of each chain. Small enough to stay in
// the processor's second-level cache between the read that fills it and the sum that reads it.
constexpr size_t kBloque = 256u << 10;
constexpr uint64_t kSemilla = 0x243F6A8885A308D3ull;
constexpr uint64_t kPor1 = 0x87C37B91114253D5ull, kPor2 = 0x4CF5AD432745937Full;

uint64_t Rota(uint64_t x, int r) { return (x << r) | (x >> (64 - r)); }

// One 64-bit word of the checksum, its bytes taken in little-endian order on every machine.
uint64_t Palabra(const unsigned char* p, size_t n) {
  uint64_t w = 0;
  for (size_t i = 0; i < n; ++i) w |= static_cast<uint64_t>(p[i]) << (8 * i);
  return w;
}

uint64_t PalabraEntera(const unsigned char* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  } else {
    return Palabra(p, 8);
  }
}

// One step of a chain: the word mixed in, then rotated and multiplied.
uint64_t Paso(uint64_t h, uint64_t w) {
  h ^= w * kPor1;
  return Rota(h, 31) * kPor2;
}

uint64_t Final(uint64_t h, uint64_t total) {
  h ^= total;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  return h;
}

std::string Hex(uint64_t v) {
  static const char kDigitos[] = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) s[static_cast<size_t>(i)] = kDigitos[v & 15];
  return s;
}

// The first kind, kept to check the copies of older runs.
struct Serie {
  uint64_t h = kSemilla;
  void Anade(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) h = Paso(h, Palabra(p + i, std::min<size_t>(8, n - i)));
  }
  uint64_t Fin(uint64_t total) const { return Final(h, total); }
};

struct CuatroCarriles {
  uint64_t h[4] = {kSemilla, 0x13198A2E03707344ull, 0xA4093822299F31D0ull, 0x082EFA98EC4E6C89ull};
  // `n` is a multiple of 32 but in the file's last piece, whose words go to the chains in turn
  // (the last one filled with zeros).
  void Anade(const unsigned char* p, size_t n) {
    uint64_t a = h[0], b = h[1], c = h[2], d = h[3];
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
      a = Paso(a, PalabraEntera(p + i));
      b = Paso(b, PalabraEntera(p + i + 8));
      c = Paso(c, PalabraEntera(p + i + 16));
      d = Paso(d, PalabraEntera(p + i + 24));
    }
    h[0] = a, h[1] = b, h[2] = c, h[3] = d;
    for (size_t k = 0; i < n; ++k, i += 8) h[k] = Paso(h[k], Palabra(p + i, std::min<size_t>(8, n - i)));
  }
  uint64_t Fin(uint64_t total) const { return Final(Paso(Paso(Paso(h[0], h[1]), h[2]), h[3]), total); }
};

// The read buffer of this thread, kept from file to file: a buffer asked for afresh for each file
// would come back as new pages, each faulted in on its first touch. The run's own thread keeps it
// for as long as it lives; a thread of the pool (engine/pooled_thread.h) frees it when it ends. A
// plain pointer, as objects of a thread with destructors of their own are not destroyed safely at
// its end everywhere (with MinGW's threads the thread's storage may be gone first).
unsigned char*& BuferDelHilo() {
  thread_local unsigned char* buf = nullptr;
  return buf;
}

void LiberaBufer() {
  delete[] BuferDelHilo();
  BuferDelHilo() = nullptr;
}

unsigned char* Bufer() {
  unsigned char*& buf = BuferDelHilo();
  if (!buf) {
    buf = new unsigned char[kBloque];
    engine::PooledThread::AtThreadEnd(&LiberaBufer);
  }
  return buf;
}

template <class Cadena>
uint64_t Lee(engine::File& f, Cadena& cadena, unsigned char* buf) {
  uint64_t total = 0;
  for (;;) {
    const size_t n = f.ReadAt(total, buf, kBloque);
    cadena.Anade(buf, n);
    total += n;
    if (n < kBloque) return total;
  }
}

std::string SumaDeAbierto(engine::File& f, uint64_t* bytes, TipoDeSuma tipo, unsigned char* buf) {
  uint64_t h = 0, total = 0;
  if (tipo == TipoDeSuma::kSerie) {
    Serie s;
    total = Lee(f, s, buf);
    h = s.Fin(total);
  } else {
    CuatroCarriles s;
    total = Lee(f, s, buf);
    h = s.Fin(total);
  }
  if (bytes) *bytes = total;
  return Hex(h);
}

// Below this many bytes in all, starting a thread costs more than it saves.
constexpr uint64_t kParaDosHilos = 1u << 20;

}  // namespace

std::string SumaDe(engine::FileSystem& fs, const std::string& path, uint64_t* bytes, TipoDeSuma tipo) {
  auto f = fs.Open(path, engine::OpenMode::kRead);
  return SumaDeAbierto(*f, bytes, tipo, Bufer());
}

// The files to sum, the largest first, each taken by one of the threads that work on them.
struct SumasAparte::Reparto {
  Reparto(std::vector<std::unique_ptr<engine::File>>& files, bool abiertos, TipoDeSuma tipo)
      : files(files), abiertos(abiertos), tipo(tipo), orden(files.size()), sums(files.size()), bytes(files.size(), 0) {
    std::vector<uint64_t> tam(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      total += tam[i] = files[i]->Size();
      orden[i] = i;
    }
    std::stable_sort(orden.begin(), orden.end(), [&](size_t a, size_t b) { return tam[a] > tam[b]; });
  }
  // Sums files until none is left to take, or until one failed; a failure here stops the others
  // after the file they are on.
  void Trabaja(unsigned char* buf) {
    try {
      for (size_t k; !fallo && (k = siguiente.fetch_add(1)) < orden.size();) {
        const size_t i = orden[k];
        sums[i] = SumaDeAbierto(*files[i], &bytes[i], tipo, buf);
        if (!abiertos) files[i].reset();
      }
    } catch (...) {
      fallo = true;
      throw;
    }
  }

  std::vector<std::unique_ptr<engine::File>>& files;
  const bool abiertos;  // kept open once summed
  const TipoDeSuma tipo;
  uint64_t total = 0;
  std::vector<size_t> orden;
  std::vector<std::string> sums;
  std::vector<uint64_t> bytes;
  std::atomic<size_t> siguiente{0};
  std::atomic<bool> fallo{false};
};

namespace {

// SumasDe of the open `files`, each closed once summed; on two threads when worth it.
std::vector<std::string> Sumas(std::vector<std::unique_ptr<engine::File>>& files, std::vector<uint64_t>& bytes,
                               TipoDeSuma tipo) {
  SumasAparte::Reparto r(files, false, tipo);
  std::exception_ptr suyo;
  engine::PooledThread otro;
  if (files.size() >= 2 && r.total >= kParaDosHilos) {
    otro = engine::PooledThread([&] {
      try {
        r.Trabaja(Bufer());
      } catch (...) {
        suyo = std::current_exception();
      }
    });
  }
  try {
    r.Trabaja(Bufer());
  } catch (...) {
    if (otro.joinable()) otro.join();
    throw;
  }
  if (otro.joinable()) otro.join();
  if (suyo) std::rethrow_exception(suyo);
  bytes = std::move(r.bytes);
  return std::move(r.sums);
}

}  // namespace

std::vector<std::unique_ptr<engine::File>> AbreParaSumar(engine::FileSystem& fs, const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<engine::File>> files;
  for (const auto& p : paths) files.push_back(fs.Open(p, engine::OpenMode::kRead));
  return files;
}

std::vector<std::string> SumasDe(engine::FileSystem& fs, const std::vector<std::string>& paths,
                                 std::vector<uint64_t>& bytes, TipoDeSuma tipo) {
  auto files = AbreParaSumar(fs, paths);
  return Sumas(files, bytes, tipo);
}

SumasAparte::SumasAparte(std::vector<std::unique_ptr<engine::File>> abiertos, TipoDeSuma tipo)
    : abiertos_(std::move(abiertos)), reparto_(std::make_unique<Reparto>(abiertos_, true, tipo)) {
  hilo_ = engine::PooledThread([this] {
    try {
      reparto_->Trabaja(Bufer());
    } catch (...) {
      error_ = std::current_exception();
    }
  });
}

SumasAparte::~SumasAparte() {
  if (hilo_.joinable()) hilo_.join();
}

void SumasAparte::Espera() {
  // The caller would only wait: it takes the files that no thread has taken yet.
  if (hilo_.joinable()) {
    try {
      reparto_->Trabaja(Bufer());
    } catch (...) {
      hilo_.join();
      throw;
    }
    hilo_.join();
  }
  if (error_) std::rethrow_exception(error_);
  bytes = reparto_->bytes;
  sumas = reparto_->sums;
}

}  // namespace actualiza
