// Writing secondary indexes: the .X file (a keyed .DB of index records: the indexed fields, the
// primary key, the row's block) and the .Y file over its blocks (laid out like a .PX).
//
// The header of a rebuilt index starts from the old one: the bytes this engine sets (lengths,
// counts, blocks, fields, the field number of a single-field index, the change count, the
// version) are written anew, every other byte of the fixed part is carried over, and so are the
// sort order's and the index's names. A mark the engine cannot interpret (case-insensitivity,
// uniqueness) thus stays as Paradox wrote it, and the records keep the old index's order.

#include <algorithm>
#include <cstring>
#include <set>

#include "engine/error.h"
#include "engine/paradox/px_index.h"

namespace engine::paradox {

namespace {

void EncodeHint(char* p, uint16_t block) {
  const uint16_t v = static_cast<uint16_t>(block ^ 0x8000);
  p[0] = static_cast<char>(v >> 8);
  p[1] = static_cast<char>(v & 0xFF);
}

// Header bytes that WriteIndex sets itself; the others come from the old index's header.
bool SetHere(size_t at) {
  return at <= 0x11 || at == 0x15 || (at >= 0x1E && at <= 0x24) || at == 0x2E || (at >= 0x39 && at <= 0x3B);
}

std::string ReadHead(FileSystem& fs, const std::string& path, const std::string& table) {
  auto f = fs.Open(path, OpenMode::kRead);
  const uint64_t size = f->Size();
  std::string h(static_cast<size_t>(std::min<uint64_t>(size, 0x78)), '\0');
  ReadExactly(*f, 0, h.data(), h.size());
  if (h.size() < 0x58)
    throw EngineError(err::kIndexCorrupt, "El índice secundario está dañado: su cabecera está incompleta.",
                      {CtxTable(table), CtxFile(path)});
  return h;
}

// The NUL-terminated names after the field numbers of an .X header: sort order, index name.
std::pair<std::string, std::string> NamesAfterNumbers(FileSystem& fs, const SecondaryIndex& ix) {
  auto f = fs.Open(ix.files.x_path, OpenMode::kRead);
  std::string h(ix.header_size, '\0');
  ReadExactly(*f, 0, h.data(), h.size());
  size_t p = ix.numbers_at + 2 * ix.xfields.size();
  std::string names[2];
  for (auto& n : names) {
    const size_t end = std::min(h.find('\0', std::min(p, h.size())), h.size());
    if (p < end) n = h.substr(p, end - p);
    p = end + 1;
  }
  return {names[0], names[1]};
}

void Overlay(std::string& head, const std::string& old, size_t upto) {
  for (size_t i = 0; i < std::min({upto, old.size(), head.size()}); ++i)
    if (!SetHere(i)) head[i] = old[i];
}

void WriteFile(FileSystem& fs, const std::string& path, const std::string& image) {
  auto f = fs.Open(path, OpenMode::kCreate);
  f->WriteAt(0, image.data(), image.size());
  f->Sync();
}

// The shape of an index to be written: its fields in the .X file and their lengths.
SecondaryIndex Shape(const IndexedTable& table, const IndexDefinition& def) {
  SecondaryIndex ix;
  ix.fields = def.fields;
  for (int f : def.fields) {
    if (f < 0 || static_cast<size_t>(f) >= table.fields.size() || table.fields[static_cast<size_t>(f)].type->blob)
      throw EngineError(err::kInvalidParam, "Un índice secundario solo puede ordenar campos de la tabla que no sean memos.",
                        {CtxTable(table.path)});
    ix.xfields.push_back(table.fields[static_cast<size_t>(f)]);
    ix.sec_len += FieldLength(*ix.xfields.back().type, ix.xfields.back().size);
  }
  for (int k = 0; k < table.key_fields; ++k) ix.xfields.push_back(table.fields[static_cast<size_t>(k)]);
  HeaderField hint;
  hint.type = TypeByCode(0x03);
  hint.size = 2;
  hint.name = "Blk Num";
  ix.xfields.push_back(hint);
  for (const auto& f : ix.xfields) ix.record_len += FieldLength(*f.type, f.size);
  ix.key_len = ix.record_len - 2;
  ix.descending = def.descending;
  ix.maintained = def.maintained;
  ix.files.composite = def.composite;
  return ix;
}

}  // namespace

std::vector<uint64_t> BytewiseOrder(const IndexedTable& table, const IndexDefinition& def, IndexRows& rows) {
  const SecondaryIndex ix = Shape(table, def);
  std::vector<std::pair<std::string, uint64_t>> keys;
  const uint64_t n = rows.Count();
  keys.reserve(static_cast<size_t>(n));
  for (uint64_t pos = 0; pos < n; ++pos) keys.emplace_back(IndexKeyOf(ix, rows, pos), pos);
  std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
    return ix.descending ? a.first > b.first : a.first < b.first;
  });
  std::vector<uint64_t> out;
  out.reserve(keys.size());
  for (const auto& k : keys) out.push_back(k.second);
  return out;
}

void WriteIndex(FileSystem& fs, const IndexedTable& table, IndexRows& rows, const IndexDefinition& def,
                const std::vector<uint64_t>& order, const SecondaryIndex* like, const std::string& x_path,
                const std::string& y_path) {
  auto refuse = [&](DBIResult code, const std::string& what) {
    throw EngineError(code, what, {CtxTable(table.path), CtxFile(x_path)});
  };
  if (table.key_fields < 1)
    refuse(err::kNotSupported,
           "Un índice secundario de Paradox necesita que la tabla tenga clave primaria. Defina antes la clave.");
  if (def.fields.empty() || def.fields.size() > 16 || (!def.composite && def.fields.size() != 1))
    refuse(err::kInvalidParam, "Un índice secundario ordena de 1 a 16 campos (uno si no es compuesto).");
  if (def.composite && def.name.empty()) refuse(err::kInvalidParam, "Un índice compuesto necesita un nombre.");
  if (def.descending && table.version_id < 12)
    refuse(err::kNotSupported, "Solo las tablas Paradox de nivel 7 admiten índices descendentes.");
  const SecondaryIndex shape = Shape(table, def);
  std::set<uint64_t> seen(order.begin(), order.end());
  if (order.size() != rows.Count() || seen.size() != order.size() || (!order.empty() && *seen.rbegin() >= rows.Count()))
    refuse(err::kInternal, "El orden pedido para el índice no nombra cada registro de la tabla una vez.");

  uint32_t block_size = like ? like->block_size : 2048;
  while (shape.record_len + 6 > block_size) block_size *= 2;
  if (block_size > 32768) refuse(err::kRecordTooBig, "Las entradas del índice no caben en un bloque de Paradox.");
  const uint8_t x_type = static_cast<uint8_t>(def.composite ? (def.maintained ? 8 : 6) : (def.maintained ? 5 : 3));

  // The .X records, block after block.
  const size_t cap = (block_size - 6) / shape.record_len;
  std::vector<std::string> blocks;
  std::vector<TreeEntry> leaves;
  for (size_t i = 0; i < order.size(); i += cap) {
    const size_t n = std::min(cap, order.size() - i);
    std::string blk(block_size, '\0');
    const uint32_t number = static_cast<uint32_t>(blocks.size() + 1);
    if (number > 0x7FFF) refuse(err::kTableFull, "El índice no cabe en un fichero de Paradox.");
    Put16(blk, 0, static_cast<uint16_t>(i + n < order.size() ? number + 1 : 0));
    Put16(blk, 2, static_cast<uint16_t>(number - 1));
    Put16(blk, 4, static_cast<uint16_t>((n - 1) * shape.record_len));
    for (size_t k = 0; k < n; ++k) {
      const uint64_t pos = order[i + k];
      const std::string key = IndexKeyOf(shape, rows, pos);
      char* at = &blk[6 + k * shape.record_len];
      std::memcpy(at, key.data(), key.size());
      EncodeHint(at + shape.key_len, rows.BlockOf(pos));
    }
    leaves.push_back({blk.substr(6, shape.key_len), number, n});
    blocks.push_back(std::move(blk));
  }

  HeaderLayout x;
  x.file_type = x_type;
  x.version_id = table.version_id;
  x.record_size = static_cast<uint16_t>(shape.record_len);
  x.block_kb = static_cast<uint8_t>(block_size / 1024);
  x.key_fields = static_cast<int>(shape.xfields.size()) - 1;
  x.codepage = table.cp ? table.cp->number() : 0;
  x.table_name = BaseName(x_path);
  x.fields = shape.xfields;
  x.sort_name = table.sort_name.empty() ? "ascii" : table.sort_name;
  x.index_name = def.composite ? table.cp->Encode(def.name).value_or(def.name) : "";
  for (int f : def.fields) x.numbers.push_back(static_cast<uint16_t>(f + 1));
  std::string old_x, old_y;
  if (like) {
    // The numbers after the indexed fields' and the names are the old index's.
    auto f = fs.Open(like->files.x_path, OpenMode::kRead);
    std::string h(like->header_size, '\0');
    ReadExactly(*f, 0, h.data(), h.size());
    for (size_t i = def.fields.size(); i < shape.xfields.size() && like->numbers_at + 2 * i + 2 <= h.size(); ++i)
      x.numbers.push_back(Get16(h, like->numbers_at + 2 * i));
    std::tie(x.sort_name, x.index_name) = NamesAfterNumbers(fs, *like);
    old_x = h.substr(0, std::min<size_t>(h.size(), 0x78));
    if (!like->files.y_path.empty()) old_y = ReadHead(fs, like->files.y_path, table.path).substr(0, 0x58);
  }
  std::string xhead = BuildHeader(x);
  Overlay(xhead, old_x, table.version_id >= 5 ? 0x78 : 0x58);
  const uint16_t nblocks = static_cast<uint16_t>(blocks.size());
  Put32(xhead, 0x06, static_cast<uint32_t>(order.size()));
  Put16(xhead, 0x0A, nblocks);
  Put16(xhead, 0x0C, nblocks);
  Put16(xhead, 0x0E, nblocks ? 1 : 0);
  Put16(xhead, 0x10, nblocks);
  Put16(xhead, 0x3A, nblocks);
  xhead[0x15] = static_cast<char>(def.composite ? 0 : def.fields[0] + 1);
  xhead[0x2E] = static_cast<char>(table.change_count);
  if (!like && def.descending) xhead[0x55] = 0x11;

  HeaderLayout y;
  y.file_type = static_cast<uint8_t>(def.composite ? 7 : 4);
  y.version_id = table.version_id;
  y.record_size = static_cast<uint16_t>(shape.key_len + 6);
  y.block_kb = x.block_kb;
  y.table_name = BaseName(y_path);
  y.fields.assign(shape.xfields.begin(), shape.xfields.end() - 1);
  std::string yhead = BuildHeader(y);
  Overlay(yhead, old_y, 0x58);
  const std::string yimage = BuildIndexTree(yhead, leaves, shape.key_len, block_size, table.path);

  std::string ximage = std::move(xhead);
  for (const auto& b : blocks) ximage += b;
  WriteFile(fs, x_path, ximage);
  WriteFile(fs, y_path, yimage);
}

}  // namespace engine::paradox
