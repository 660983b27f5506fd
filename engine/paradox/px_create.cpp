// Creating an empty Paradox table: the .DB header, its .MB, .PX and .VAL; companions and
// secondary indexes of a table it replaces are removed.

#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/error.h"
#include "engine/fs.h"
#include "engine/paradox/paradox.h"
#include "engine/paradox/px_table.h"

namespace engine::paradox {

using internal::CompanionName;
using internal::FindCompanion;
using internal::kMbChunk;
using internal::StripExtension;

void Create(const std::string& path, const TableDefinition& def) {
  auto bad = [&](DBIResult code, const std::string& msg, std::vector<std::string> ctx = {}) {
    ctx.insert(ctx.begin(), CtxTable(path));
    return EngineError(code, msg, std::move(ctx));
  };
  const int level = def.level;
  if (level != 3 && level != 4 && level != 5 && level != 7)
    throw bad(err::kInvalidParam, "El nivel de tabla Paradox debe ser 3, 4, 5 o 7.");
  if (def.fields.empty() || def.fields.size() > 255)
    throw bad(err::kInvalidParam, "Una tabla Paradox necesita entre 1 y 255 campos.");
  const CodePage* cp = &CodePage::Ansi();
  int codepage = 0;
  if (level >= 4) {
    cp = CodePage::Find(def.codepage);
    if (!cp) throw bad(err::kNotSupported, "La página de códigos " + std::to_string(def.codepage) + " no se admite.");
    codepage = def.codepage;
  } else if (const CodePage* dos = CodePage::Find(437)) {
    cp = dos;
  }
  if (level == 3) {
    for (const auto& c : def.val_checks) {
      const bool empty = !c.bRequired && !c.bHasMinVal && !c.bHasMaxVal && !c.bHasDefVal && !c.szPict[0] &&
                         !(c.elkupType && c.szLkupTblName[0]);
      if (!empty)
        throw bad(err::kNotSupported,
                  "Las tablas Paradox 3 no pueden llevar reglas de validez en este programa. Use el nivel 4 o "
                  "posterior.");
    }
  }
  HeaderLayout layout;
  layout.version_id = VersionForLevel(level);
  layout.codepage = codepage;
  layout.key_fields = def.key_fields;
  layout.file_type = def.key_fields > 0 ? 0 : 2;
  layout.table_name = BaseName(path);
  uint32_t record = 0;
  std::vector<std::string> folded;
  for (const auto& f : def.fields) {
    const PxType* t = TypeByPhysical(f.type);
    if (!t) throw bad(err::kInvalidFieldType, "El tipo del campo no es un tipo Paradox.", {CtxField(f.name)});
    if (t->min_level > level)
      throw bad(err::kInvalidFieldType,
                std::string("El tipo de campo '") + t->letter + "' necesita una tabla de nivel " +
                    std::to_string(t->min_level) + " o posterior.",
                {CtxField(f.name)});
    uint32_t size = f.size;
    switch (t->letter) {
      case 'D': case 'I': case 'T': case '+': if (size == 0) size = 4; break;
      case 'S': if (size == 0) size = 2; break;
      case '$': case 'N': case '@': if (size == 0) size = 8; break;
      case 'L': if (size == 0) size = 1; break;
      default: break;
    }
    const uint32_t len = size > 255 ? 0 : FieldLength(*t, size);
    if (len == 0) throw bad(err::kInvalidFieldSize, "El tamaño del campo no es válido para su tipo.", {CtxField(f.name)});
    auto name = cp->Encode(f.name);
    if (f.name.empty() || !name || name->size() > 25 || name->find('\0') != std::string::npos)
      throw bad(err::kInvalidFieldName, "El nombre del campo no es válido (de 1 a 25 caracteres).", {CtxField(f.name)});
    const std::string fold = FoldCase(f.name);
    if (std::find(folded.begin(), folded.end(), fold) != folded.end())
      throw bad(err::kDuplicateFieldName, "Hay dos campos con el mismo nombre.", {CtxField(f.name)});
    folded.push_back(fold);
    HeaderField hf;
    hf.type = t;
    hf.size = static_cast<uint8_t>(size);
    hf.name = *name;
    layout.fields.push_back(hf);
    record += len;
  }
  if (def.key_fields < 0 || def.key_fields > static_cast<int>(def.fields.size()))
    throw bad(err::kInvalidParam, "El número de campos clave no es válido.");
  for (int i = 0; i < def.key_fields; ++i)
    if (layout.fields[i].type->blob)
      throw bad(err::kInvalidParam, "Un campo memo o binario no puede formar parte de la clave.",
                {CtxField(def.fields[i].name)});
  uint8_t kb = 2;
  while (kb <= 32 && record + 6 > kb * 1024u) kb = static_cast<uint8_t>(kb * 2);
  if (kb > 32 || record > 0xFFFF) throw bad(err::kRecordTooBig, "El registro es demasiado largo para una tabla Paradox.");
  layout.record_size = static_cast<uint16_t>(record);
  layout.block_kb = kb;
  std::string header = BuildHeader(layout);
  std::string val;
  bool any_check = false;
  for (const auto& c : def.val_checks)
    any_check |= c.bRequired || c.bHasMinVal || c.bHasMaxVal || c.bHasDefVal || c.szPict[0] ||
                 (c.elkupType && c.szLkupTblName[0]);
  if (!def.paradox_ri.empty() && level == 3)
    throw bad(err::kNotSupported, "Las tablas Paradox 3 no guardan reglas de integridad referencial.");
  if (any_check || !def.paradox_ri.empty()) {
    try {
      val = BuildVal(def.val_checks, layout.fields, static_cast<uint8_t>(header[0x2E]), layout.version_id,
                     BaseName(path), *cp, def.paradox_ri);
    } catch (EngineError& e) {
      throw e.With(CtxTable(path));
    }
  }
  FileSystem& fs = *CurrentFileSystem();
  // Companions of a table that this one replaces would no longer match it.
  for (const char* ext : {".MB", ".PX", ".VAL"}) {
    std::string old = FindCompanion(fs, path, ext);
    if (!old.empty()) fs.Remove(old);
  }
  const std::string dir = DirName(path);
  const std::string stem = FoldCase(BaseName(StripExtension(path)));
  for (const auto& e : fs.List(dir.empty() ? "." : dir)) {
    const std::string name = FoldCase(e.name);
    if (e.is_dir || name.size() != stem.size() + 4 || name.compare(0, stem.size(), stem) != 0) continue;
    const std::string ext = name.substr(stem.size());
    const bool numbered = std::isxdigit(static_cast<unsigned char>(ext[2])) || ext[2] == 'g' || ext[2] == 'G';
    if (ext[0] == '.' && (ext[1] == 'x' || ext[1] == 'y' || ext[1] == 'X' || ext[1] == 'Y') && numbered &&
        std::isxdigit(static_cast<unsigned char>(ext[3])))
      fs.Remove(JoinPath(dir, e.name));
  }
  {
    auto f = fs.Open(path, OpenMode::kCreate);
    f->WriteAt(0, header.data(), header.size());
    f->Sync();
  }
  bool has_blob = false;
  for (const auto& f : layout.fields) has_blob |= f.type->blob;
  if (has_blob) {
    auto f = fs.Open(CompanionName(path, ".MB"), OpenMode::kCreate);
    std::string head(kMbChunk, '\0');
    head[1] = 1;
    f->WriteAt(0, head.data(), head.size());
    f->Sync();
  }
  if (!val.empty()) {
    auto f = fs.Open(CompanionName(path, ".VAL"), OpenMode::kCreate);
    f->WriteAt(0, val.data(), val.size());
    f->Sync();
  }
  if (def.key_fields > 0) {
    // An empty primary index: the header alone.
    HeaderLayout px = layout;
    px.file_type = 1;
    px.record_size = 0;
    px.fields.assign(layout.fields.begin(), layout.fields.begin() + def.key_fields);
    for (const auto& f : px.fields) px.record_size = static_cast<uint16_t>(px.record_size + FieldLength(*f.type, f.size));
    px.record_size = static_cast<uint16_t>(px.record_size + 6);
    const std::string px_path = CompanionName(path, ".PX");
    px.table_name = BaseName(px_path);
    std::string image = BuildHeader(px);
    image[0x1E] = 1;  // root block number, with no levels yet
    auto f = fs.Open(px_path, OpenMode::kCreate);
    f->WriteAt(0, image.data(), image.size());
    f->Sync();
  }
  fs.SyncDirectory(dir.empty() ? "." : dir);
}

}  // namespace engine::paradox
