#include "engine/paradox/px_index.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <tuple>
#include <set>

#include "engine/error.h"

namespace engine::paradox {

namespace {

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}
char Up(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

std::string StemOf(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  return FoldCase(dot == std::string::npos ? name : name.substr(0, dot));
}

[[noreturn]] void BadIndex(const std::string& table, const std::string& file, const std::string& what,
                           DBIResult code = err::kIndexCorrupt) {
  throw EngineError(code,
                    "El índice secundario está dañado o no corresponde a la tabla: " + what +
                        ". Regenere el índice con Paradox, o bórrelo (ficheros .X y .Y) si la aplicación no lo "
                        "necesita.",
                    {CtxTable(table), CtxFile(file)});
}

// The key of a Short field's stored value ("Blk Num"): big-endian with the sign bit flipped.
uint16_t DecodeHint(const char* p) {
  return static_cast<uint16_t>(((static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1])) ^ 0x8000);
}

std::string ReadHeader(File& f, const std::string& table, const std::string& path, uint16_t* header_size) {
  const uint64_t size = f.Size();
  if (size < 0x58) BadIndex(table, path, "el fichero es demasiado corto");
  std::string head(0x58, '\0');
  ReadExactly(f, 0, head.data(), head.size());
  *header_size = Get16(head, 0x02);
  if (*header_size < 0x58 || *header_size > size) BadIndex(table, path, "la cabecera no es válida");
  head.resize(*header_size);
  ReadExactly(f, 0, head.data(), head.size());
  return head;
}

// Block chain of an index file (.X data blocks): records of `record_len` bytes per block.
struct ChainBlock {
  uint16_t number;
  std::vector<std::string> recs;
};

std::vector<ChainBlock> ReadChain(File& f, const std::string& head, uint16_t header_size, uint32_t block_size,
                                  uint32_t record_len, const std::string& table, const std::string& path) {
  const uint64_t fsize = f.Size();
  const uint64_t max_blocks = std::min<uint64_t>((fsize - header_size) / block_size, 0xFFFF);
  std::vector<bool> seen(max_blocks + 1, false);
  std::vector<ChainBlock> out;
  uint32_t b = Get16(head, 0x0E);
  const uint32_t per_block = (block_size - 6) / record_len;
  const uint32_t declared = Get32(head, 0x06);
  if (declared == 0) return out;  // an empty index keeps its first block number
  while (b != 0) {
    if (b > max_blocks) BadIndex(table, path, "la cadena de bloques apunta fuera del fichero");
    if (seen[b]) BadIndex(table, path, "la cadena de bloques forma un ciclo");
    seen[b] = true;
    const uint64_t at = header_size + static_cast<uint64_t>(b - 1) * block_size;
    std::string blk(block_size, '\0');
    ReadExactly(f, at, blk.data(), blk.size());
    const int16_t add = static_cast<int16_t>(Get16(blk, 4));
    ChainBlock cb{static_cast<uint16_t>(b), {}};
    if (add >= 0) {
      if (add % record_len != 0 || static_cast<uint32_t>(add) / record_len + 1 > per_block)
        BadIndex(table, path, "el bloque " + std::to_string(b) + " declara un número de registros no válido");
      const uint32_t n = static_cast<uint32_t>(add) / record_len + 1;
      for (uint32_t i = 0; i < n; ++i) cb.recs.push_back(blk.substr(6 + static_cast<size_t>(i) * record_len, record_len));
      out.push_back(std::move(cb));
    }
    b = Get16(blk, 0);
  }
  return out;
}

}  // namespace

std::vector<IndexFiles> FindIndexFiles(FileSystem& fs, const std::string& table_path) {
  const std::string dir = DirName(table_path);
  const std::string stem = StemOf(BaseName(table_path));
  std::map<std::string, std::string> xs, ys;  // upper-case extension -> file
  for (const auto& e : fs.List(dir.empty() ? "." : dir)) {
    if (e.is_dir) continue;
    const size_t dot = e.name.find_last_of('.');
    if (dot == std::string::npos || e.name.size() - dot != 4 || StemOf(e.name) != stem) continue;
    std::string ext;
    for (size_t i = dot + 1; i < e.name.size(); ++i) ext.push_back(Up(e.name[i]));
    if (ext[0] != 'X' && ext[0] != 'Y') continue;
    const bool single = IsHex(ext[1]) && IsHex(ext[2]);
    const bool group = ext[1] == 'G' && IsHex(ext[2]);
    if (!single && !group) continue;
    (ext[0] == 'X' ? xs : ys)[ext.substr(1)] = JoinPath(dir, e.name);
  }
  std::vector<IndexFiles> out;
  for (const auto& [suffix, x] : xs) {
    IndexFiles f;
    f.x_path = x;
    auto y = ys.find(suffix);
    if (y != ys.end()) f.y_path = y->second;
    f.composite = suffix[0] == 'G';
    f.number = f.composite ? HexValue(suffix[1]) : HexValue(suffix[0]) * 16 + HexValue(suffix[1]);
    out.push_back(f);
  }
  return out;
}

SecondaryIndex ReadIndexHeader(FileSystem& fs, const IndexFiles& files, const IndexedTable& table) {
  const std::string& path = files.x_path;
  SecondaryIndex ix;
  ix.files = files;
  auto f = fs.Open(path, OpenMode::kRead);
  std::string h = ReadHeader(*f, table.path, path, &ix.header_size);
  const uint8_t type = static_cast<uint8_t>(h[0x04]);
  const bool group_type = type == 6 || type == 8;
  if (!(type == 3 || type == 5 || group_type)) BadIndex(table.path, path, "no es un fichero de índice secundario");
  if (group_type != files.composite)
    BadIndex(table.path, path, "el tipo de índice de la cabecera no concuerda con el nombre del fichero");
  ix.maintained = type == 5 || type == 8;
  const uint8_t kb = static_cast<uint8_t>(h[0x05]);
  if (kb < 1 || kb > 32) BadIndex(table.path, path, "el tamaño de bloque no es válido");
  ix.block_size = kb * 1024u;
  if (static_cast<uint8_t>(h[0x39]) != table.version_id)
    BadIndex(table.path, path, "el índice es de otra versión de Paradox que la tabla");
  ix.change_count = static_cast<uint8_t>(h[0x2E]);
  // Byte 0x55 of a level-7 .X file: 0x10, 0x11 and 0x30 are descending in Beck's description and
  // in paradoxdriver's reader; the rest of its meaning is unsettled (KnownOrder).
  ix.mark = table.version_id >= 12 ? static_cast<uint8_t>(h[0x55]) : 0;
  ix.descending = ix.mark == 0x10 || ix.mark == 0x11 || ix.mark == 0x30;
  const int nf = static_cast<int16_t>(Get16(h, 0x21));
  const int keyed = static_cast<int16_t>(Get16(h, 0x23));
  const int m = nf - table.key_fields - 1;
  if (table.key_fields < 1)
    BadIndex(table.path, path, "la tabla no tiene clave primaria, y un índice secundario la necesita",
             err::kNotSupported);
  if (m < 1 || m > 16 || keyed != nf - 1) BadIndex(table.path, path, "el número de campos no es válido");
  if (!files.composite && m != 1) BadIndex(table.path, path, "un índice de un campo tiene varios campos");
  const bool wide = table.version_id >= 5;
  size_t p = wide ? 0x78 : 0x58;
  if (p + 6 * static_cast<size_t>(nf) + 4 > ix.header_size) BadIndex(table.path, path, "la cabecera no tiene sitio para sus campos");
  for (int i = 0; i < nf; ++i, p += 2) {
    HeaderField hf;
    hf.type = TypeByCode(static_cast<uint8_t>(h[p]));
    hf.size = static_cast<uint8_t>(h[p + 1]);
    if (!hf.type || FieldLength(*hf.type, hf.size) == 0 || hf.type->blob)
      BadIndex(table.path, path, "el campo " + std::to_string(i + 1) + " tiene un tipo no válido");
    ix.xfields.push_back(hf);
    ix.record_len += FieldLength(*hf.type, hf.size);
  }
  if (Get16(h, 0x00) != ix.record_len || ix.record_len + 6 > ix.block_size)
    BadIndex(table.path, path, "la longitud de registro no es la de sus campos");
  const HeaderField& hint = ix.xfields.back();
  if (hint.type->letter != 'S') BadIndex(table.path, path, "el último campo no es el número de bloque");
  ix.key_len = ix.record_len - 2;
  // Names follow the table-name slot (the field-name pointers come first, as in a .DB).
  p += 4 + 4 * static_cast<size_t>(nf) + (table.version_id >= 12 ? 261 : 0x4F);
  std::vector<std::string> names;
  for (int i = 0; i < nf; ++i) {
    size_t end = p;
    while (end < ix.header_size && h[end] != 0) ++end;
    if (end >= ix.header_size || end == p) BadIndex(table.path, path, "los nombres de los campos no son válidos");
    names.push_back(h.substr(p, end - p));
    p = end + 1;
  }
  if (p + 2 * static_cast<size_t>(nf) > ix.header_size) BadIndex(table.path, path, "la cabecera está cortada");
  ix.numbers_at = p;
  for (int i = 0; i < m; ++i) {
    const int num = Get16(h, p + 2 * static_cast<size_t>(i));
    if (num < 1 || num > static_cast<int>(table.fields.size()))
      BadIndex(table.path, path, "el índice nombra un campo que la tabla no tiene");
    ix.fields.push_back(num - 1);
  }
  p += 2 * static_cast<size_t>(nf);
  for (int label = 0; label < 2; ++label) {  // sort order's name, then the index's name
    size_t end = p;
    while (end < ix.header_size && h[end] != 0) ++end;
    if (end >= ix.header_size) BadIndex(table.path, path, "el nombre del índice no termina");
    if (label == 1) ix.name = table.cp->Decode(h.substr(p, end - p));
    p = end + 1;
  }
  // The fields must be the table's: the indexed ones, then the primary key, with their types.
  for (int i = 0; i < nf - 1; ++i) {
    const int tf = i < m ? ix.fields[static_cast<size_t>(i)] : i - m;
    const HeaderField& want = table.fields[static_cast<size_t>(tf)];
    if (want.type != ix.xfields[static_cast<size_t>(i)].type || want.size != ix.xfields[static_cast<size_t>(i)].size)
      BadIndex(table.path, path, "el campo " + table.cp->Decode(want.name) + " no tiene en el índice su tipo o tamaño");
    if (i < m) ix.sec_len += FieldLength(*want.type, want.size);
  }
  if (!files.composite) {
    if (ix.fields[0] + 1 != files.number || static_cast<uint8_t>(h[0x15]) != files.number)
      BadIndex(table.path, path, "el número de campo del nombre del fichero no es el de su cabecera");
    if (ix.name.empty()) ix.name = table.cp->Decode(table.fields[static_cast<size_t>(ix.fields[0])].name);
  }
  if (ix.name.empty()) BadIndex(table.path, path, "el índice compuesto no tiene nombre");
  return ix;
}

std::vector<IndexRecord> ReadIndexRecords(FileSystem& fs, const SecondaryIndex& ix) {
  auto f = fs.Open(ix.files.x_path, OpenMode::kRead);
  uint16_t hs = 0;
  const std::string table = ix.files.x_path;
  std::string h = ReadHeader(*f, table, ix.files.x_path, &hs);
  std::vector<IndexRecord> out;
  for (auto& b : ReadChain(*f, h, hs, ix.block_size, ix.record_len, table, ix.files.x_path))
    for (auto& r : b.recs) out.push_back({std::move(r), b.number});
  if (out.size() != Get32(h, 0x06))
    BadIndex(table, ix.files.x_path, "la cabecera cuenta otro número de registros que sus bloques");
  return out;
}

std::string IndexKeyOf(const SecondaryIndex& ix, IndexRows& rows, uint64_t pos) {
  const std::string& row = rows.Row(pos);
  std::string key;
  key.reserve(ix.key_len);
  for (int f : ix.fields) key.append(row, rows.Offset(f), rows.Length(f));
  const int keys = static_cast<int>(ix.xfields.size()) - static_cast<int>(ix.fields.size()) - 1;
  for (int f = 0; f < keys; ++f) key.append(row, rows.Offset(f), rows.Length(f));
  return key;
}

IndexCheck CheckIndex(FileSystem& fs, const SecondaryIndex& ix, const IndexedTable& table, IndexRows& rows) {
  IndexCheck out;
  const std::string who = "Índice " + ix.name + ": ";
  auto problem = [&](const std::string& s) { out.problems.push_back(who + s); };
  if (ix.change_count != table.change_count)
    problem("es de otra versión de la tabla (su marca de cambios no es la de la tabla); regenérelo con Paradox");
  std::vector<IndexRecord> recs;
  try {
    recs = ReadIndexRecords(fs, ix);
  } catch (const EngineError& e) {
    problem(e.message());
    return out;
  }
  const uint64_t n = rows.Count();
  if (recs.size() != n)
    problem("tiene " + std::to_string(recs.size()) + " entradas y la tabla " + std::to_string(n) + " registros");
  // Every row's key, to find the row of each entry.
  std::map<std::string, uint64_t> by_key;
  for (uint64_t pos = 0; pos < n; ++pos) by_key.emplace(IndexKeyOf(ix, rows, pos), pos);
  size_t shown = 0;
  for (size_t i = 0; i < recs.size() && shown < 20; ++i) {
    const std::string key = recs[i].bytes.substr(0, ix.key_len);
    auto it = by_key.find(key);
    if (it == by_key.end()) {
      problem("la entrada " + std::to_string(i + 1) + " no corresponde a ningún registro de la tabla");
      ++shown;
      continue;
    }
    const uint16_t hint = DecodeHint(recs[i].bytes.data() + ix.key_len);
    if (hint != rows.BlockOf(it->second)) {
      problem("la entrada " + std::to_string(i + 1) + " dice que su registro está en el bloque " + std::to_string(hint) +
              ", y está en el " + std::to_string(rows.BlockOf(it->second)));
      ++shown;
    }
  }
  // Order: keys of bytewise-ordered types are compared as bytes; alpha keys follow the table's
  // sort order, which only "ascii" makes bytewise.
  bool collated = false, text = false;
  for (size_t i = 0; i + 1 < ix.xfields.size(); ++i)
    if (ix.xfields[i].type->letter == 'A') {
      text = true;
      collated = table.sort_name != "ascii" && !table.sort_name.empty();
    }
  if (collated) {
    out.unchecked.push_back(who + "sus claves de texto siguen el orden «" + table.sort_name +
                            "», que este programa no comprueba");
  } else if (text && !KnownOrder(ix)) {
    out.unchecked.push_back(who + "su cabecera lo marca (byte 0x55 = " + MarkText(ix) +
                            ") como único o sin distinguir mayúsculas, un orden de sus claves de texto que este "
                            "programa no comprueba");
  } else {
    for (size_t i = 0; i + 1 < recs.size(); ++i) {
      const int c = std::memcmp(recs[i].bytes.data(), recs[i + 1].bytes.data(), ix.key_len);
      if (ix.descending ? c < 0 : c > 0) {
        problem("las entradas " + std::to_string(i + 1) + " y " + std::to_string(i + 2) + " no están en orden");
        break;
      }
    }
  }
  // The .Y file: one entry per .X block (its first key, its number, its records) at the lowest
  // level, and above it entries for the blocks below, down from the root.
  if (ix.files.y_path.empty()) {
    problem("falta su fichero .Y");
    return out;
  }
  try {
    auto y = fs.Open(ix.files.y_path, OpenMode::kRead);
    uint16_t hs = 0;
    std::string h = ReadHeader(*y, table.path, ix.files.y_path, &hs);
    const uint8_t type = static_cast<uint8_t>(h[0x04]);
    if (type != (ix.files.composite ? 7 : 4)) BadIndex(table.path, ix.files.y_path, "no es el fichero .Y de un índice");
    const uint32_t yrec = Get16(h, 0x00);
    const uint8_t kb = static_cast<uint8_t>(h[0x05]);
    if (yrec != ix.key_len + 6 || kb < 1 || kb > 32 || yrec + 6 > kb * 1024u)
      BadIndex(table.path, ix.files.y_path, "la longitud de sus entradas no es la de la clave del índice");
    const uint32_t bs = kb * 1024u;
    const uint64_t max_blocks = std::min<uint64_t>((y->Size() - hs) / bs, 0xFFFF);
    // The .X blocks as the lowest level must list them.
    auto xf = fs.Open(ix.files.x_path, OpenMode::kRead);
    uint16_t xhs = 0;
    std::string xh = ReadHeader(*xf, table.path, ix.files.x_path, &xhs);
    std::vector<ChainBlock> xblocks = ReadChain(*xf, xh, xhs, ix.block_size, ix.record_len, table.path, ix.files.x_path);
    std::vector<std::tuple<std::string, uint16_t, uint64_t>> leaves;
    std::set<uint32_t> seen;
    const int levels = static_cast<uint8_t>(h[0x20]);
    if (levels > 16) BadIndex(table.path, ix.files.y_path, "declara demasiados niveles");
    auto count_of = [](const std::string& r, size_t at) {
      return static_cast<uint64_t>(DecodeHint(r.data() + at));
    };
    // Returns the records below block b at `level` (1 = entries point into the .X file).
    std::function<uint64_t(uint32_t, int, std::string*)> walk = [&](uint32_t b, int level, std::string* first) -> uint64_t {
      if (b < 1 || b > max_blocks || !seen.insert(b).second)
        BadIndex(table.path, ix.files.y_path, "un bloque apunta fuera del fichero o se repite");
      std::string blk(bs, '\0');
      ReadExactly(*y, hs + static_cast<uint64_t>(b - 1) * bs, blk.data(), bs);
      const int16_t add = static_cast<int16_t>(Get16(blk, 4));
      if (add < 0 || add % yrec != 0 || static_cast<uint32_t>(add) / yrec + 1 > (bs - 6) / yrec)
        BadIndex(table.path, ix.files.y_path, "un bloque declara un número de entradas no válido");
      uint64_t total = 0;
      for (uint32_t i = 0; i <= static_cast<uint32_t>(add) / yrec; ++i) {
        const std::string e = blk.substr(6 + static_cast<size_t>(i) * yrec, yrec);
        const std::string key = e.substr(0, ix.key_len);
        const uint16_t child = DecodeHint(e.data() + ix.key_len);
        const uint64_t count = count_of(e, ix.key_len + 2);
        if (i == 0 && first) *first = key;
        if (level == 1) {
          leaves.emplace_back(key, child, count);
        } else {
          std::string below;
          const uint64_t got = walk(child, level - 1, &below);
          if (below != key || (got != count && got < 0x7FFF))
            BadIndex(table.path, ix.files.y_path, "una entrada no resume el bloque al que apunta");
        }
        total += count;
      }
      return total;
    };
    if (!xblocks.empty()) {
      if (levels < 1) BadIndex(table.path, ix.files.y_path, "no tiene niveles y el índice tiene registros");
      walk(Get16(h, 0x1E), levels, nullptr);
    }
    bool same = leaves.size() == xblocks.size();
    for (size_t i = 0; same && i < leaves.size(); ++i) {
      const auto& [key, child, count] = leaves[i];
      same = child == xblocks[i].number && count == std::min<uint64_t>(xblocks[i].recs.size(), 0x7FFF) &&
             key == xblocks[i].recs.front().substr(0, ix.key_len);
    }
    if (!same) problem("su fichero .Y no describe los bloques de su fichero .X");
  } catch (const EngineError& e) {
    problem(e.message());
  }
  return out;
}

namespace {

class ListWalker : public KeyWalker {
 public:
  explicit ListWalker(std::vector<uint64_t> recnos) : recnos_(std::move(recnos)) {}
  bool Next(uint64_t* recno) override {
    if (at_ >= recnos_.size()) return false;
    *recno = recnos_[at_++];
    return true;
  }

 private:
  std::vector<uint64_t> recnos_;
  size_t at_ = 0;
};

}  // namespace

void SecondarySet::Load(FileSystem& fs, const IndexedTable& table) {
  indexes_.clear();
  for (const IndexFiles& files : FindIndexFiles(fs, table.path)) {
    try {
      indexes_.push_back(ReadIndexHeader(fs, files, table));
    } catch (const EngineError& e) {
      SecondaryIndex ix;
      ix.files = files;
      ix.name = BaseName(files.x_path);
      ix.problem = e.message();
      indexes_.push_back(std::move(ix));
    }
  }
}

const SecondaryIndex* SecondarySet::Find(const std::string& name) const {
  for (const auto& ix : indexes_)
    if (FoldCase(ix.name) == FoldCase(name)) return &ix;
  return nullptr;
}

std::vector<TagInfo> SecondarySet::Tags(const IndexedTable& table) const {
  std::vector<TagInfo> out;
  for (const auto& ix : indexes_) {
    TagInfo t;
    t.name = ix.name;
    for (int f : ix.fields) {
      if (!t.expression.empty()) t.expression += ";";
      t.expression += table.cp->Decode(table.fields[static_cast<size_t>(f)].name);
    }
    if (!ix.fields.empty()) {
      const char letter = table.fields[static_cast<size_t>(ix.fields[0])].type->letter;
      t.key_type = letter == 'A' ? 'C' : (letter == 'D' || letter == '@' || letter == 'T') ? 'D' : 'N';
    }
    t.descending = ix.descending;
    t.problem = ix.problem;
    out.push_back(t);
  }
  return out;
}

std::unique_ptr<KeyWalker> SecondarySet::Walk(FileSystem& fs, const IndexedTable& table, const std::string& name,
                                              const std::optional<Value>& equal_to, IndexRows& rows) const {
  const SecondaryIndex* ix = Find(name);
  if (!ix)
    throw EngineError(err::kNoSuchIndex, "La tabla no tiene ese índice secundario.", {CtxTable(table.path), CtxIndex(name)});
  if (!ix->problem.empty())
    throw EngineError(err::kIndexCorrupt, "El índice secundario no se puede usar: " + ix->problem,
                      {CtxTable(table.path), CtxIndex(name), CtxFile(ix->files.x_path)});
  std::string wanted;
  if (equal_to) {
    if (ix->fields.size() != 1)
      throw EngineError(err::kNotSupported,
                        "Un índice compuesto de una tabla Paradox no admite rangos de un solo valor. Use un índice "
                        "de un campo.",
                        {CtxTable(table.path), CtxIndex(name)});
    const HeaderField& f = ix->xfields[0];
    wanted.assign(FieldLength(*f.type, f.size), '\0');
    try {
      EncodeField(*f.type, *equal_to, f.size, *table.cp, wanted.data());
    } catch (const EngineError&) {
      return std::make_unique<ListWalker>(std::vector<uint64_t>{});  // no row can hold that value
    }
  }
  // Rows by primary key (the tail of every index key).
  std::map<std::string, uint64_t> by_pk;
  const uint64_t n = rows.Count();
  const uint32_t pk_len = ix->key_len - ix->sec_len;
  for (uint64_t pos = 0; pos < n; ++pos) by_pk.emplace(rows.Row(pos).substr(0, pk_len), pos + 1);
  std::vector<uint64_t> recnos;
  for (const IndexRecord& r : ReadIndexRecords(fs, *ix)) {
    if (equal_to && r.bytes.compare(0, ix->sec_len, wanted) != 0) continue;
    auto it = by_pk.find(r.bytes.substr(ix->sec_len, pk_len));
    if (it == by_pk.end())
      throw EngineError(err::kIndexCorrupt,
                        "El índice secundario nombra un registro que la tabla no tiene. Regenere el índice con "
                        "Paradox o compruébelo con «tabla check».",
                        {CtxTable(table.path), CtxIndex(name), CtxFile(ix->files.x_path)});
    recnos.push_back(it->second);
  }
  return std::make_unique<ListWalker>(std::move(recnos));
}

}  // namespace engine::paradox
