#include "engine/paradox/px_file.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/error.h"

namespace engine::paradox {

int LevelFromVersion(uint8_t v) {
  if (v == 3 || v == 4) return 3;
  if (v >= 5 && v <= 9) return 4;
  if (v == 10 || v == 11) return 5;
  if (v == 12) return 7;
  return 0;
}

uint8_t VersionForLevel(int level) {
  switch (level) {
    case 3: return 0x04;
    case 4: return 0x09;
    case 5: return 0x0B;
    default: return 0x0C;
  }
}

namespace {

size_t NameSlot(uint8_t version_id) { return version_id >= 12 ? 261 : 0x4F; }

// Files laid out like a .DB (field names and numbers in the header): .DB and .X files.
bool DataFile(uint8_t file_type) {
  return file_type == 0 || file_type == 2 || file_type == 3 || file_type == 5 || file_type == 6 || file_type == 8;
}
bool XFile(uint8_t file_type) { return file_type == 3 || file_type == 5 || file_type == 6 || file_type == 8; }

}  // namespace

std::string BuildHeader(const HeaderLayout& layout) {
  const bool data = DataFile(layout.file_type);
  const bool wide = data && layout.version_id >= 5;  // level 4+ data files
  const size_t nf = layout.fields.size();
  const size_t info = wide ? 0x78 : 0x58;
  size_t need = info + 2 * nf + 4 + (data ? 4 * nf : 0) + NameSlot(layout.version_id);
  if (data) {
    for (const auto& f : layout.fields) need += f.name.size() + 1;
    need += 2 * nf + layout.sort_name.size() + 1 + layout.index_name.size() + 1;
  }
  size_t size = 2048;
  while (size < need) size += 2048;
  std::string h(size, '\0');
  Put16(h, 0x00, layout.record_size);
  Put16(h, 0x02, static_cast<uint16_t>(size));
  h[0x04] = static_cast<char>(layout.file_type);
  h[0x05] = static_cast<char>(layout.block_kb);
  Put16(h, 0x21, static_cast<uint16_t>(nf));
  if (data) Put16(h, 0x23, static_cast<uint16_t>(layout.key_fields));
  if (wide) Put32(h, 0x25, 0xFF00FF00u);
  if (data) {
    h[0x2D] = 1;
    h[0x2E] = 1;
  }
  h[0x39] = static_cast<char>(layout.version_id);
  if (wide) {
    h[0x3E] = 0x1F;
    h[0x3F] = 0x0F;
    h[0x56] = 0x20;
    Put16(h, 0x58, static_cast<uint16_t>(0x0100 | layout.version_id));
    Put16(h, 0x5A, static_cast<uint16_t>(0x0100 | layout.version_id));
    Put16(h, 0x6A, static_cast<uint16_t>(layout.codepage));
    h[0x6C] = 1;
    h[0x6D] = 1;
  }
  size_t p = info;
  for (const auto& f : layout.fields) {
    h[p++] = static_cast<char>(f.type->code);
    h[p++] = static_cast<char>(f.size);
  }
  p += 4;                     // table-name pointer (unused on disk)
  if (data) p += 4 * nf;      // field-name pointers
  std::memcpy(&h[p], layout.table_name.data(), std::min(layout.table_name.size(), NameSlot(layout.version_id) - 1));
  p += NameSlot(layout.version_id);
  if (data) {
    for (const auto& f : layout.fields) {
      std::memcpy(&h[p], f.name.data(), f.name.size());
      p += f.name.size() + 1;
    }
    for (size_t i = 0; i < nf; ++i, p += 2)
      Put16(h, p, i < layout.numbers.size() ? layout.numbers[i] : static_cast<uint16_t>(i + 1));
    std::memcpy(&h[p], layout.sort_name.data(), layout.sort_name.size());
    p += layout.sort_name.size() + 1;
    if (XFile(layout.file_type)) std::memcpy(&h[p], layout.index_name.data(), layout.index_name.size());
  }
  return h;
}

std::string BuildIndexTree(std::string head, const std::vector<TreeEntry>& leaves, uint32_t key_len,
                           uint32_t block_size, const std::string& table) {
  const size_t prec = key_len + 6;
  const size_t cap = (block_size - 6) / prec;
  std::vector<TreeEntry> level = leaves;
  std::vector<std::string> blocks;  // index blocks, numbered from 1
  int levels = 0;
  uint32_t root = 0;
  // Block numbers and counts are stored as Short fields: big-endian, sign bit flipped.
  auto encode_short = [](uint64_t v) {
    std::string s(2, '\0');
    const uint16_t u = static_cast<uint16_t>(std::min<uint64_t>(v, 0x7FFF) ^ 0x8000);
    s[0] = static_cast<char>(u >> 8);
    s[1] = static_cast<char>(u & 0xFF);
    return s;
  };
  while (!level.empty()) {
    ++levels;
    std::vector<TreeEntry> up;
    const size_t first_block = blocks.size() + 1;
    for (size_t i = 0; i < level.size(); i += cap) {
      const size_t n = std::min(cap, level.size() - i);
      std::string blk(block_size, '\0');
      const uint32_t number = static_cast<uint32_t>(blocks.size() + 1);
      if (number > 0x7FFF)
        throw EngineError(err::kTableFull, "El índice no cabe en un fichero de Paradox.", {CtxTable(table)});
      Put16(blk, 4, static_cast<uint16_t>((n - 1) * prec));
      uint64_t total = 0;
      for (size_t k = 0; k < n; ++k) {
        const TreeEntry& e = level[i + k];
        std::string r = e.key + encode_short(e.child) + encode_short(e.count) + encode_short(0);
        std::memcpy(&blk[6 + k * prec], r.data(), prec);
        total += e.count;
      }
      blocks.push_back(std::move(blk));
      up.push_back({level[i].key, number, total});
    }
    // Blocks of one level are chained to each other.
    const size_t last_block = blocks.size();
    for (size_t bn = first_block; bn <= last_block; ++bn) {
      Put16(blocks[bn - 1], 0, static_cast<uint16_t>(bn < last_block ? bn + 1 : 0));
      Put16(blocks[bn - 1], 2, static_cast<uint16_t>(bn > first_block ? bn - 1 : 0));
    }
    if (up.size() == 1) {
      root = up.front().child;
      break;
    }
    level = std::move(up);
  }
  Put32(head, 0x06, static_cast<uint32_t>(leaves.size()));
  Put16(head, 0x0A, static_cast<uint16_t>(blocks.size()));
  Put16(head, 0x0C, static_cast<uint16_t>(blocks.size()));
  Put16(head, 0x0E, blocks.empty() ? 0 : 1);
  Put16(head, 0x10, static_cast<uint16_t>(blocks.empty() ? 0 : root));
  Put16(head, 0x1E, static_cast<uint16_t>(blocks.empty() ? 1 : root));  // as Paradox leaves an empty index
  head[0x20] = static_cast<char>(levels);
  Put16(head, 0x3A, static_cast<uint16_t>(blocks.size()));
  for (const auto& b : blocks) head += b;
  return head;
}

// ---- .VAL -----------------------------------------------------------------------------------

namespace {

constexpr size_t kValChecksStart = 0x35;
constexpr size_t kCheckHead = 0x1C;
constexpr size_t kLookupBytes = 0x1A + 0x36;

[[noreturn]] void BadVal(const std::string& path, const std::string& what) {
  throw EngineError(err::kFileCorrupt,
                    "El fichero de reglas de validez (.VAL) está dañado: " + what +
                        ". Borre el fichero .VAL o restáurelo de una copia de seguridad.",
                    {CtxFile(path)});
}

template <typename T>
void Store(uint8_t* buf, T v) {
  std::memcpy(buf, &v, sizeof v);
}

template <typename T>
T Load(const uint8_t* buf) {
  T v;
  std::memcpy(&v, buf, sizeof v);
  return v;
}

// Record-encoded bytes -> the engine's value buffer. False when the value is NULL.
bool ToEngineBuffer(const HeaderField& f, const std::string& bytes, uint8_t* buf) {
  std::memset(buf, 0, bde::DBIMAXSCFLDLEN);
  const char t = f.type->letter;
  if (t == 'A') {
    size_t n = bytes.find('\0');
    if (n == std::string::npos) n = bytes.size();
    std::memcpy(buf, bytes.data(), std::min<size_t>(n, 255));
    return n > 0;
  }
  if (t == 'Y') {
    std::memcpy(buf, bytes.data(), bytes.size());
    return bytes.find_first_not_of('\0') != std::string::npos;
  }
  if (t == '#') {
    if (static_cast<uint8_t>(bytes[0]) == 0) return false;
    bde::FMTBcd bcd{};
    const uint8_t head = static_cast<uint8_t>(bytes[0]);
    const bool negative = (head & 0x80) == 0;
    bcd.iPrecision = 32;
    bcd.iSignSpecialPlaces = static_cast<uint8_t>((negative ? 0x80 : 0) | (head & 0x3F));
    for (int i = 0; i < 16; ++i) {
      uint8_t b = static_cast<uint8_t>(bytes[1 + i]);
      bcd.iFraction[i] = negative ? static_cast<uint8_t>(b ^ 0xFF) : b;
    }
    std::memcpy(buf, &bcd, sizeof bcd);
    return true;
  }
  Value v = DecodeField(*f.type, bytes, f.size, CodePage::Ansi());
  if (v.IsNull()) return false;
  switch (t) {
    case 'N': case '$': Store<double>(buf, v.d); break;
    case 'S': Store<int16_t>(buf, static_cast<int16_t>(v.i)); break;
    case 'I': case '+': case 'D': Store<int32_t>(buf, static_cast<int32_t>(v.i)); break;
    case 'T': Store<uint32_t>(buf, static_cast<uint32_t>(v.i)); break;
    case '@': Store<double>(buf, static_cast<double>(v.i)); break;
    case 'L': Store<int32_t>(buf, static_cast<int32_t>(v.i)); break;
    default: return false;
  }
  return true;
}

std::string FmtBcdText(const bde::FMTBcd& bcd) {
  const int prec = bcd.iPrecision;
  const int places = bcd.iSignSpecialPlaces & 0x3F;
  if (prec < 1 || prec > 64 || places > prec) return "";
  std::string digits;
  for (int i = 0; i < prec; ++i) {
    uint8_t b = bcd.iFraction[i / 2];
    uint8_t n = (i % 2 == 0) ? (b >> 4) : (b & 0x0F);
    if (n > 9) return "";
    digits += static_cast<char>('0' + n);
  }
  std::string text = digits.substr(0, static_cast<size_t>(prec - places));
  if (text.empty()) text.push_back('0');
  if (places > 0) {
    text += '.';
    text += digits.substr(static_cast<size_t>(prec - places));
  }
  if (bcd.iSignSpecialPlaces & 0x80) text.insert(text.begin(), '-');
  return text;
}

// The engine's value buffer -> record-encoded bytes (the field's length).
std::string FromEngineBuffer(const HeaderField& f, const uint8_t* buf, const CodePage& cp,
                             const char* which) {
  const uint32_t len = FieldLength(*f.type, f.size);
  std::string out(len, '\0');
  const char t = f.type->letter;
  auto bad = [&](const std::string& why) {
    return EngineError(err::kValueOutOfRange,
                       std::string("El valor ") + which + " de la regla de validez no sirve: " + why + ".",
                       {CtxField(cp.Decode(f.name))});
  };
  if (t == 'A') {
    size_t n = strnlen(reinterpret_cast<const char*>(buf), bde::DBIMAXSCFLDLEN);
    if (n > len) throw bad("no cabe en el campo");
    std::memcpy(out.data(), buf, n);
    return out;
  }
  if (t == 'Y') {
    std::memcpy(out.data(), buf, len);
    return out;
  }
  if (t == '#') {
    bde::FMTBcd bcd;
    std::memcpy(&bcd, buf, sizeof bcd);
    std::string text = FmtBcdText(bcd);
    if (text.empty() || !TextToBcd(text, f.size, out.data())) throw bad("número decimal no válido");
    return out;
  }
  Value v;
  switch (t) {
    case 'N': case '$': v = Value::Number(Load<double>(buf)); break;
    case 'S': v = Value::Integer(Load<int16_t>(buf)); break;
    case 'I': case '+': v = Value::Integer(Load<int32_t>(buf)); break;
    case 'D': v = Value::Date(Load<int32_t>(buf)); break;
    case 'T': v = Value::Time(Load<uint32_t>(buf)); break;
    case '@': {
      double ms = Load<double>(buf);
      if (!std::isfinite(ms) || std::fabs(ms) > 1e17) throw bad("fecha y hora no válida");
      v = Value::Timestamp(std::llround(ms));
      break;
    }
    case 'L': v = Value::Logical(Load<int32_t>(buf) != 0); break;
    default: throw bad("el tipo del campo no admite valores");
  }
  try {
    EncodeField(*f.type, v, f.size, cp, out.data());
  } catch (const EngineError& e) {
    throw bad(e.message());
  }
  return out;
}

}  // namespace

std::vector<bde::VCHKDesc> ParseVal(const std::string& val, const std::string& path,
                                    const std::vector<HeaderField>& fields, uint8_t change_count,
                                    const CodePage& cp) {
  (void)cp;
  if (val.size() < kValChecksStart) BadVal(path, "es demasiado corto");
  if (static_cast<uint8_t>(val[0]) != change_count)
    throw EngineError(err::kFileCorrupt,
                      "El fichero de reglas de validez (.VAL) no corresponde a la versión actual de la "
                      "tabla. Reconstruya las reglas con Paradox o borre el fichero .VAL.",
                      {CtxFile(path)});
  const size_t count = static_cast<uint8_t>(val[2]);
  const uint32_t footer = Get32(val, 0x09);
  const uint32_t ri = Get32(val, 0x0D);
  if (footer < kValChecksStart || footer > val.size()) BadVal(path, "el pie está fuera del fichero");
  size_t limit = footer;
  if (ri != 0) {
    if (ri < kValChecksStart || ri > footer) BadVal(path, "la integridad referencial está fuera del fichero");
    limit = ri;
  }
  std::vector<bde::VCHKDesc> out;
  size_t p = kValChecksStart;
  for (size_t c = 0; c < count; ++c) {
    if (p + kCheckHead > limit) BadVal(path, "una regla se sale del fichero");
    const size_t fi = static_cast<uint8_t>(val[p]);
    const size_t pic_len = static_cast<uint8_t>(val[p + 1]);
    const uint8_t required = static_cast<uint8_t>(val[p + 2]);
    const uint8_t lookup = static_cast<uint8_t>(val[p + 3]);
    const bool has_lookup = Get32(val, p + 4) != 0;
    const bool has_min = Get32(val, p + 12) != 0;
    const bool has_max = Get32(val, p + 16) != 0;
    const bool has_def = Get32(val, p + 20) != 0;
    const bool has_pic = Get32(val, p + 24) != 0;
    p += kCheckHead;
    if (fi >= fields.size()) BadVal(path, "una regla nombra un campo que la tabla no tiene");
    const HeaderField& f = fields[fi];
    bde::VCHKDesc d;
    std::memset(&d, 0, sizeof d);
    d.iFldNum = static_cast<uint16_t>(fi + 1);
    d.bRequired = required ? 1 : 0;
    if (has_lookup) {
      if (p + kLookupBytes > limit) BadVal(path, "el nombre de la tabla de consulta se sale del fichero");
      size_t n = strnlen(&val[p], 0x1A);
      if (n == 0x1A || n == 0) BadVal(path, "el nombre de la tabla de consulta no es válido");
      std::memcpy(d.szLkupTblName, &val[p], n);
      d.elkupType = static_cast<int32_t>(bde::lkupPRIVATE + (lookup & 3));
      p += kLookupBytes;
    }
    const uint32_t flen = FieldLength(*f.type, f.size);
    struct Slot { bool present; uint16_t* flag; uint8_t* buf; };
    Slot slots[] = {{has_min, &d.bHasMinVal, d.aMinVal},
                    {has_max, &d.bHasMaxVal, d.aMaxVal},
                    {has_def, &d.bHasDefVal, d.aDefVal}};
    for (auto& s : slots) {
      if (!s.present) continue;
      if (f.type->blob) BadVal(path, "una regla da un valor a un campo de tipo memo o binario");
      if (p + flen > limit) BadVal(path, "un valor de una regla se sale del fichero");
      std::string bytes = val.substr(p, flen);
      p += flen;
      try {
        *s.flag = ToEngineBuffer(f, bytes, s.buf) ? 1 : 0;
      } catch (const EngineError& e) {
        BadVal(path, "un valor de una regla no es válido (" + e.message() + ")");
      }
    }
    if (has_pic) {
      if (pic_len == 0 || pic_len > bde::DBIMAXPICTLEN + 1) BadVal(path, "la longitud de una máscara no es válida");
      if (p + pic_len > limit) BadVal(path, "una máscara se sale del fichero");
      size_t n = strnlen(&val[p], pic_len);
      std::memcpy(d.szPict, &val[p], n);
      p += pic_len;
    }
    out.push_back(d);
  }
  return out;
}

namespace {

// A u16 list ended by 0 (or after its 16th entry) at `at`; false when it is empty.
bool ReadNumbers(const std::string& val, size_t at, std::vector<int>* into) {
  for (size_t k = 0; k < 16; ++k) {
    const int n = Get16(val, at + 2 * k);
    if (n == 0) break;
    into->push_back(n);
  }
  return !into->empty();
}

// The record of the tables that depend on this one (see px_file.h), from `at` up to the footer.
// Read only when all of it has the layout the samples show; otherwise it stays unread (and the
// table is not rebuilt). A field of this table that it names and the table lacks is damage.
template <class Text>
void ReadDependents(const std::string& val, const std::string& path, size_t at, size_t footer,
                    size_t field_count, const Text& text, RiLinks* out) {
  constexpr size_t kHead = 0xBA, kEntry = 0x12A;
  if (at + kHead > footer) return;
  const size_t count = Get16(val, at + 0xB8);
  if (count == 0 || at + kHead + count * kEntry != footer) return;
  std::vector<int> referenced;
  if (!ReadNumbers(val, at + 0x98, &referenced) || Get16(val, at + 0x96) != referenced.size()) return;
  for (int n : referenced)
    if (static_cast<size_t>(n) > field_count)
      BadVal(path, "la integridad referencial de las tablas que dependen de esta nombra un campo que la tabla no tiene");
  std::vector<RiDependent> dependents;
  for (size_t i = 0; i < count; ++i) {
    const size_t e = at + kHead + i * kEntry;
    RiDependent d;
    d.name = text(e, 0x40);
    d.table = text(e + 0x40, 0x1A);
    d.field = text(e + 0x92, 0x1A);
    if (d.name.empty() || d.table.empty() || d.field.empty() || !ReadNumbers(val, e + 0x10A, &d.fields))
      return;
    dependents.push_back(std::move(d));
  }
  out->dependents_read = true;
  for (int n : referenced) out->referenced.push_back(n - 1);
  out->dependent_links = std::move(dependents);
}

}  // namespace

RiLinks ParseRi(const std::string& val, const std::string& path, size_t field_count, const CodePage& cp) {
  RiLinks out;
  if (val.size() < kValChecksStart) BadVal(path, "es demasiado corto");
  const uint32_t footer = Get32(val, 0x09);
  const uint32_t ri = Get32(val, 0x0D);
  if (ri == 0) return out;
  if (ri < kValChecksStart || footer > val.size() || ri + 2 > footer)
    BadVal(path, "la integridad referencial está fuera del fichero");
  constexpr size_t kLink = 0x1E0;
  const size_t count = Get16(val, ri);
  if (ri + 2 + count * kLink > footer) BadVal(path, "una regla de integridad referencial se sale del fichero");
  auto text = [&](size_t at, size_t cap) { return cp.Decode(val.substr(at, strnlen(&val[at], cap))); };
  for (size_t i = 0; i < count; ++i) {
    const size_t e = ri + 2 + i * kLink;
    RiLink link;
    link.name = text(e, 0x40);
    link.parent = text(e + 0xD4, 0x1A);
    const uint8_t rule = static_cast<uint8_t>(val[e + 0x19A]);
    if (rule > 1) BadVal(path, "una regla de integridad referencial tiene una forma de actualizar desconocida");
    link.cascade = rule == 1;
    for (size_t k = 0; k < 16; ++k) {
      const int child = Get16(val, e + 0x1A0 + 2 * k);
      const int parent = Get16(val, e + 0x1C0 + 2 * k);
      if (child == 0 || parent == 0) break;
      if (static_cast<size_t>(child) > field_count)
        BadVal(path, "una regla de integridad referencial nombra un campo que la tabla no tiene");
      link.fields.push_back(child - 1);
      link.parent_fields.push_back(parent);
    }
    if (link.fields.empty() || link.name.empty() || link.parent.empty())
      BadVal(path, "una regla de integridad referencial está incompleta");
    out.links.push_back(std::move(link));
  }
  const size_t rest = ri + 2 + count * kLink;
  out.dependents = rest + 2 <= footer && Get16(val, rest) != 0;
  if (out.dependents) ReadDependents(val, path, rest, footer, field_count, text, &out);
  return out;
}

std::string RiSection(const std::string& val) {
  if (val.size() < kValChecksStart) return "";
  const uint32_t footer = Get32(val, 0x09), ri = Get32(val, 0x0D);
  if (ri == 0 || ri >= footer || footer > val.size()) return "";
  return val.substr(ri, footer - ri);
}

std::string BuildVal(const std::vector<bde::VCHKDesc>& checks, const std::vector<HeaderField>& fields,
                     uint8_t change_count, uint8_t version_id, const std::string& table_name,
                     const CodePage& cp, const std::string& ri_section) {
  std::string body;
  int stored = 0;
  std::vector<bool> seen(fields.size(), false);
  for (const auto& d : checks) {
    const size_t pict_len = strnlen(d.szPict, sizeof d.szPict);
    const size_t lk_len = strnlen(d.szLkupTblName, sizeof d.szLkupTblName);
    const bool lookup = d.elkupType != bde::lkupNONE && lk_len > 0;
    const bool empty = !d.bRequired && !d.bHasMinVal && !d.bHasMaxVal && !d.bHasDefVal &&
                       pict_len == 0 && !lookup;
    if (empty) continue;
    if (d.iFldNum < 1 || d.iFldNum > fields.size())
      throw EngineError(err::kInvalidParam, "Una regla de validez nombra el campo " +
                                                std::to_string(d.iFldNum) + ", que la tabla no tiene.");
    const HeaderField& f = fields[d.iFldNum - 1];
    const std::string fname = cp.Decode(f.name);
    if (seen[d.iFldNum - 1])
      throw EngineError(err::kInvalidParam, "Hay dos reglas de validez para el mismo campo.", {CtxField(fname)});
    seen[d.iFldNum - 1] = true;
    if (pict_len == sizeof d.szPict)
      throw EngineError(err::kInvalidParam, "La máscara de la regla de validez no termina.", {CtxField(fname)});
    if (lookup && (d.elkupType < bde::lkupPRIVATE || d.elkupType > bde::lkupALLCORRESPHELP))
      throw EngineError(err::kInvalidParam, "El tipo de consulta de la regla de validez no es válido.",
                        {CtxField(fname)});
    std::string lk_name;
    if (lookup) {
      std::string full(d.szLkupTblName, lk_len);
      size_t cut = full.find_last_of("\\/:");
      lk_name = cut == std::string::npos ? full : full.substr(cut + 1);
      if (lk_name.empty() || lk_name.size() > 0x19)
        throw EngineError(err::kInvalidParam,
                          "El nombre de la tabla de consulta debe tener entre 1 y 25 caracteres.",
                          {CtxField(fname)});
    }
    std::string head(kCheckHead, '\0');
    head[0] = static_cast<char>(d.iFldNum - 1);
    head[1] = static_cast<char>(pict_len ? pict_len + 1 : 0);
    head[2] = static_cast<char>(d.bRequired ? 1 : 0);
    if (lookup) head[3] = static_cast<char>(d.elkupType - bde::lkupPRIVATE);
    std::string values;
    struct Slot { uint16_t flag; const uint8_t* buf; size_t word; const char* which; };
    const Slot slots[] = {{d.bHasMinVal, d.aMinVal, 12, "mínimo"},
                          {d.bHasMaxVal, d.aMaxVal, 16, "máximo"},
                          {d.bHasDefVal, d.aDefVal, 20, "por defecto"}};
    for (const auto& s : slots) {
      if (s.flag == 0) continue;
      if (s.flag == bde::TODAYVAL || s.flag == bde::NOWVAL)
        throw EngineError(err::kNotSupported,
                          std::string("Las tablas Paradox de este motor no guardan TODAY ni NOW como valor ") +
                              s.which + " de una regla de validez. Indique una fecha u hora fija.",
                          {CtxField(fname)});
      if (s.flag != 1)
        throw EngineError(err::kInvalidParam, std::string("La marca del valor ") + s.which + " no es válida.",
                          {CtxField(fname)});
      if (f.type->blob)
        throw EngineError(err::kInvalidParam, "Un campo memo o binario no admite valores en sus reglas de validez.",
                          {CtxField(fname)});
      values += FromEngineBuffer(f, s.buf, cp, s.which);
      Put32(head, s.word, 1);
    }
    if (lookup) Put32(head, 4, 1);
    if (pict_len) Put32(head, 24, 1);
    body += head;
    if (lookup) {
      std::string lk(kLookupBytes, '\0');
      std::memcpy(lk.data(), lk_name.data(), lk_name.size());
      body += lk;
    }
    body += values;
    if (pict_len) body += std::string(d.szPict, pict_len) + '\0';
    ++stored;
  }
  if (stored > 255) throw EngineError(err::kInvalidParam, "Hay demasiadas reglas de validez.");
  std::string val(kValChecksStart, '\0');
  val[0] = static_cast<char>(change_count);
  val[1] = static_cast<char>(version_id);
  val[2] = static_cast<char>(stored);
  val[7] = static_cast<char>(fields.size() + 1);
  val += body;
  if (!ri_section.empty()) {
    Put32(val, 0x0D, static_cast<uint32_t>(val.size()));
    val += ri_section;
  }
  Put32(val, 0x09, static_cast<uint32_t>(val.size()));
  std::string footer(6, '\0');
  Put16(footer, 0, static_cast<uint16_t>(fields.size()));
  for (size_t i = 0; i < fields.size(); ++i) {
    footer.push_back(static_cast<char>((i + 1) & 0xFF));
    footer.push_back(static_cast<char>((i + 1) >> 8));
  }
  for (const auto& f : fields) {
    footer.push_back(static_cast<char>(f.type->code));
    footer.push_back(static_cast<char>(f.size));
  }
  std::string name(NameSlot(version_id), '\0');
  std::memcpy(name.data(), table_name.data(), std::min(table_name.size(), name.size() - 1));
  footer += name;
  for (const auto& f : fields) footer += f.name + '\0';
  return val + footer;
}

}  // namespace engine::paradox
