// Blobs of Paradox tables (.MB): read from single-blob (type 2) and sub-allocated (type 3) blocks;
// new blobs that do not fit the field's leader go to new type-2 blocks at the end of the .MB.
// Replaced blobs are left in place (the space is reclaimed when the table is restructured).

#include <algorithm>
#include <cstring>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/px_table.h"

namespace engine::paradox::internal {

std::string ParadoxTable::ReadBlob(const std::string& buf, int field) {
  const FieldSpec& f = fields_[field];
  const bool graphic = hfields_[field].type->letter == 'G';
  const uint32_t leader = f.length - 10;
  const uint32_t off = Get32(buf, f.offset + leader);
  const uint32_t len = Get32(buf, f.offset + leader + 4);
  auto bad = [&](const std::string& what) {
    return EngineError(err::kBlobCorrupt,
                       "El fichero de memos y binarios (.MB) está dañado o no corresponde a la tabla: " + what +
                           ". Restáurelo de una copia de seguridad.",
                       {CtxTable(path_), CtxFile(mb_path_.empty() ? CompanionName(path_, ".MB") : mb_path_)});
  };
  if (off == 0) {
    if (len > leader) throw bad("un valor dice ser más largo que su parte en el registro");
    return buf.substr(f.offset, len);
  }
  if (!mb_)
    throw EngineError(err::kNoSuchFile,
                      "Falta el fichero de memos y binarios (.MB) de la tabla. Cópielo junto a la tabla.",
                      {CtxTable(path_), CtxFile(CompanionName(path_, ".MB"))});
  const uint64_t mbsize = mb_->Size();
  const uint64_t start = off & 0xFFFFFF00u;
  const uint32_t index = off & 0xFF;
  if (start < kMbChunk || start + 9 > mbsize) throw bad("un puntero apunta fuera del fichero");
  std::string data;
  if (index == 0xFF) {
    std::string h(9, '\0');
    ReadExactly(*mb_, start, h.data(), 9);
    if (h[0] != 2) throw bad("un puntero no lleva a un bloque de datos");
    const uint64_t chunks = Get16(h, 1);
    const uint32_t blen = Get32(h, 3);
    if (blen != len) throw bad("la longitud del bloque no es la del registro");
    if (9 + static_cast<uint64_t>(len) > chunks * kMbChunk || start + 9 + len > mbsize)
      throw bad("un bloque de datos se sale del fichero");
    data.assign(len, '\0');
    ReadExactly(*mb_, start + 9, data.data(), len);
  } else {
    if (index >= 64) throw bad("un puntero nombra una entrada inexistente");
    std::string blk(12 + 64 * 5, '\0');
    ReadExactly(*mb_, start, blk.data(), blk.size());
    if (blk[0] != 3) throw bad("un puntero no lleva a un bloque de entradas");
    const uint64_t chunks = Get16(blk, 1);
    const size_t slot = 12 + index * 5;
    const uint64_t doff = static_cast<uint8_t>(blk[slot]) * 16u;
    const uint32_t len16 = static_cast<uint8_t>(blk[slot + 1]);
    if (len16 == 0 || len > len16 * 16u || len + 16 <= len16 * 16u) throw bad("una entrada no tiene la longitud del registro");
    if (doff < 12 + 64 * 5 || doff + len > chunks * kMbChunk || start + doff + len > mbsize)
      throw bad("una entrada se sale de su bloque");
    data.assign(len, '\0');
    ReadExactly(*mb_, start + doff, data.data(), len);
  }
  if (graphic) {
    if (data.size() < 8) throw bad("un gráfico no tiene su cabecera");
    data.erase(0, 8);
  }
  return data;
}

void ParadoxTable::OpenBlobFile(bool create) {
  FileSystem& fs = *CurrentFileSystem();
  if (mb_path_.empty()) {
    if (!create) return;
    mb_path_ = CompanionName(path_, ".MB");
  }
  if (create && !fs.IsRegularFile(mb_path_)) {
    auto f = fs.Open(mb_path_, OpenMode::kCreate);
    std::string head(kMbChunk, '\0');
    head[1] = 1;  // one 4 KB chunk
    f->WriteAt(0, head.data(), head.size());
    f->Sync();
  }
  mb_ = fs.Open(mb_path_, options_.read_only ? OpenMode::kRead : OpenMode::kReadWrite);
  const uint64_t size = mb_->Size();
  if (size < kMbChunk)
    throw EngineError(err::kBlobCorrupt,
                      "El fichero de memos y binarios (.MB) está dañado: no tiene cabecera. Restáurelo de una "
                      "copia de seguridad.",
                      {CtxTable(path_), CtxFile(mb_path_)});
  char type = 1;
  ReadExactly(*mb_, 0, &type, 1);
  if (type != 0)
    throw EngineError(err::kBlobCorrupt,
                      "El fichero de memos y binarios (.MB) está dañado: la cabecera no es válida. Restáurelo "
                      "de una copia de seguridad.",
                      {CtxTable(path_), CtxFile(mb_path_)});
}

uint32_t ParadoxTable::WriteBlob(const std::string& data, bool graphic, uint16_t modnr) {
  if (!mb_) OpenBlobFile(true);
  std::string block(9, '\0');
  block[0] = 2;
  const std::string extra = graphic ? std::string("\x01\x00\x00\x01", 4) + std::string(4, '\0') : "";
  if (graphic) {
    std::string e = extra;
    Put32(e, 4, static_cast<uint32_t>(data.size()));
    block += e;
  }
  block += data;
  const uint64_t total = block.size();
  const uint64_t chunks = (total + kMbChunk - 1) / kMbChunk;
  if (chunks > 0xFFFF || data.size() > 0xFFFFFF00u - 8)
    throw EngineError(err::kRecordTooBig, "El memo o dato binario es demasiado grande para una tabla Paradox.",
                      {CtxTable(path_)});
  Put16(block, 1, static_cast<uint16_t>(chunks));
  Put32(block, 3, static_cast<uint32_t>(total - 9));
  Put16(block, 7, modnr);
  block.resize(chunks * kMbChunk, '\0');
  uint64_t at = (mb_->Size() + kMbChunk - 1) / kMbChunk * kMbChunk;
  if (at + block.size() > 0xFFFFFF00u)
    throw EngineError(err::kTableFull, "El fichero de memos y binarios (.MB) está lleno.", {CtxTable(path_),
                      CtxFile(mb_path_)});
  dirty_ = true;
  mb_->WriteAt(at, block.data(), block.size());
  return static_cast<uint32_t>(at) | 0xFF;
}

}  // namespace engine::paradox::internal
