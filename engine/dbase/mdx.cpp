// Opening and creating .MDX files, lookups by key, and keeping every tag true to the rows as
// they change.
#include "engine/dbase/mdx.h"

#include <memory>
#include <string>
#include <utility>

#include "engine/collation.h"
#include "engine/dbase/mdx_file.h"
#include "engine/dbase/mdx_format.h"
#include "engine/dbase/mdx_key.h"
#include "engine/error.h"

namespace engine::dbase {

namespace mdx_internal {

// Whether a stored key is the key looked for. Character keys are padded with blanks, but other
// programs pad with NULs: both paddings count as the same.
bool SameKey(char type, std::string_view stored, std::string_view wanted) {
  if (type != 'C') return CompareKeys(type, stored, wanted) == 0;
  auto trim = [](std::string_view k) {
    size_t n = k.size();
    while (n > 0 && (k[n - 1] == ' ' || k[n - 1] == '\0')) --n;
    return k.substr(0, n);
  };
  return trim(stored) == trim(wanted);
}

// The first entry that comes before the one ahead of it in the tag's order; e.size() when none.
size_t FirstDisorder(const TagMeta& t, const EntryList& e) {
  for (size_t i = 1; i < e.size(); ++i)
    if (t.Cmp(e.key(i - 1), e.key(i)) > 0) return i;
  return e.size();
}

namespace {

// A lookup that reads every entry of a tag in stored order and yields those whose key is the
// target's bytes: right in whatever order the tag was written.
class ScanWalker : public KeyWalker {
 public:
  ScanWalker(std::shared_ptr<const EntryList> entries, char type, std::string target)
      : e_(std::move(entries)), type_(type), target_(std::move(target)) {}
  bool Next(uint64_t* recno) override {
    while (at_ < e_->size()) {
      size_t i = at_++;
      if (SameKey(type_, e_->key(i), target_)) {
        *recno = e_->recno(i);
        return true;
      }
    }
    return false;
  }

 private:
  std::shared_ptr<const EntryList> e_;
  char type_;
  std::string target_;
  size_t at_ = 0;
};

}  // namespace

std::vector<TagInfo> MdxFile::Tags() const {
  std::vector<TagInfo> out;
  for (const TagMeta& t : tags_) out.push_back(t.info);
  return out;
}

TagMeta& MdxFile::FindTag(const std::string& name) {
  for (TagMeta& t : tags_)
    if (SameName(t.info.name, name)) return t;
  throw EngineError(err::kNoSuchIndex, "El índice no tiene la etiqueta «" + name + "».",
                    {CtxFile(path_), CtxIndex(name)});
}

std::unique_ptr<KeyWalker> MdxFile::Walk(const std::string& tag, const std::optional<Value>& equal_to) {
  TagMeta& t = FindTag(tag);
  if (!t.unusable.empty())
    throw EngineError(err::kInvalidExpression,
                      "La etiqueta no se puede usar: este programa no sabe calcular su expresión «" + t.info.expression +
                          (t.info.filter.empty() ? "" : "» FOR «" + t.info.filter) + "» (" + t.unusable +
                          "). Elija otro índice.",
                      {CtxFile(path_), CtxIndex(t.info.name)});
  std::optional<std::string> target;
  if (equal_to) {
    target = KeyForValue(t, *equal_to);
    // A lookup descends the tree only when the tag is known to be in its collation's order;
    // otherwise it reads every entry, so that no matching row is missed.
    if (!DescentIsSafe(t)) return std::make_unique<ScanWalker>(TagEntries(t), t.type, std::move(*target));
  }
  return std::make_unique<MdxWalker>(this, &t, std::move(target));
}

bool MdxFile::InCollationOrder(TagMeta& t) {
  if (t.order == TagMeta::Order::kUnknown) {
    EntryList e;
    e.key_len = static_cast<size_t>(t.key_len);
    bool separators = CollectInto(t, &e);
    t.order = separators && FirstDisorder(t, e) == e.size() ? TagMeta::Order::kAgrees : TagMeta::Order::kDiffers;
  }
  return t.order == TagMeta::Order::kAgrees;
}

std::shared_ptr<const EntryList> MdxFile::TagEntries(const TagMeta& t) {
  auto& cached = scans_[&t];
  if (!cached) {
    auto e = std::make_shared<EntryList>();
    e->key_len = static_cast<size_t>(t.key_len);
    CollectInto(t, e.get());
    cached = std::move(e);
  }
  return cached;
}

void MdxFile::RequireOrderForWrite(TagMeta& t) {
  if (InCollationOrder(t)) return;
  throw EngineError(err::kIndexCorrupt,
                    "La etiqueta está en un orden distinto del de su idioma (" + t.coll->Description() +
                        "), así que no se puede saber dónde va una clave nueva; no se ha modificado nada. "
                        "Regenere los índices de la tabla en Tribanor y vuelva a intentarlo.",
                    {CtxFile(path_), CtxIndex(t.info.name)});
}

std::vector<TagOrderInfo> MdxFile::Orders() {
  std::vector<TagOrderInfo> out;
  for (TagMeta& t : tags_) {
    bool collated = t.type == 'C';
    out.push_back({t.info.name, collated ? t.coll->Description() : std::string(), collated && t.coll->confirmed(),
                   InCollationOrder(t)});
  }
  return out;
}

std::string MdxFile::KeyForValue(const TagMeta& t, const Value& v) {
  std::vector<std::string> ctx{CtxFile(path_), CtxIndex(t.info.name)};
  if (t.type == 'C') {
    std::string text = v.kind == Value::Kind::Text ? v.s : v.ToDisplay();
    std::optional<std::string> enc = cp_.Encode(text);
    if (!enc) throw EngineError(err::kConversion, "El valor buscado tiene caracteres que la tabla no admite.", ctx);
    std::string k = *enc;
    // A longer value can equal no key; keep its excess so that it matches nothing.
    if (k.size() < static_cast<size_t>(t.key_len)) k.resize(static_cast<size_t>(t.key_len), ' ');
    return k;
  }
  if (t.type == 'D') {
    if (v.kind == Value::Kind::Date || v.kind == Value::Kind::Null) return EncodeDateKey(v.IsNull() ? 0 : v.i);
    if (v.kind == Value::Kind::Timestamp) return EncodeDateKey(v.i / kMsPerDay);
    throw EngineError(err::kConversion, "La etiqueta ordena por fecha y el valor buscado no es una fecha.", ctx);
  }
  if (v.IsNull()) return EncodeNumericKey(0.0);
  std::string exact = v.kind == Value::Kind::Integer ? std::to_string(v.i) : v.DecimalText();
  std::string k;
  if (!exact.empty() && EncodeNumericKey(exact, &k)) return k;
  std::optional<double> d = v.AsDouble();
  if (!d) throw EngineError(err::kConversion, "La etiqueta ordena por número y el valor buscado no es un número.", ctx);
  return EncodeNumericKey(*d);
}

void MdxFile::RequireWritable() {
  if (!writable_)
    throw EngineError(err::kInvalidParam, "El índice está abierto solo para lectura.", {CtxFile(path_)});
}

void MdxFile::CheckWrite(const RecordView* before, const RecordView& after) {
  RequireWritable();
  for (TagMeta& t : tags_)
    if (!t.unusable.empty())
      throw EngineError(err::kInvalidExpression,
                        "La tabla no se puede modificar: su etiqueta tiene una expresión «" + t.info.expression +
                            "» que este programa no sabe calcular, y quedaría desfasada; no se ha modificado nada. "
                            "Modifique la tabla en Tribanor.",
                        {CtxFile(path_), CtxIndex(t.info.name)});
  for (TagMeta& t : tags_) {
    std::optional<std::string> new_key = RowKey(t, after);
    if (!before) {
      if (new_key) RequireOrderForWrite(t);
      continue;
    }
    if (RowKey(t, *before) != new_key || before->RecNo() != after.RecNo()) RequireOrderForWrite(t);
  }
}

void MdxFile::Update(const RecordView& before, const RecordView& after) {
  CheckWrite(&before, after);
  for (TagMeta& t : tags_) {
    std::optional<std::string> old_key = RowKey(t, before), new_key = RowKey(t, after);
    if (old_key == new_key && before.RecNo() == after.RecNo()) continue;
    bool removed = old_key && RemoveKey(t, *old_key, static_cast<uint32_t>(before.RecNo()));
    if (new_key) InsertKey(t, *new_key, static_cast<uint32_t>(after.RecNo()));
    if (removed && t.info.unique && old_key != new_key) GiveKeyToAnotherRow(t, *old_key, before.RecNo());
  }
}

void MdxFile::GiveKeyToAnotherRow(TagMeta& t, const std::string& key, uint64_t old_owner) {
  if (!rows_) return;
  uint64_t count = rows_->Count();
  for (uint64_t r = 1; r <= count && r <= 0xFFFFFFFFull; ++r) {
    if (r == old_owner) continue;
    std::optional<std::string> k = RowKey(t, rows_->Row(r));
    if (k && t.Cmp(*k, key) == 0) {
      InsertKey(t, key, static_cast<uint32_t>(r));
      return;
    }
  }
}

void MdxFile::Insert(const RecordView& row) {
  RequireWritable();
  if (row.RecNo() == 0 || row.RecNo() > 0xFFFFFFFFull)
    throw EngineError(err::kTableFull, "El número de registro no cabe en el índice.", {CtxFile(path_)});
  CheckWrite(nullptr, row);
  for (TagMeta& t : tags_) {
    std::optional<std::string> k = RowKey(t, row);
    if (k) InsertKey(t, *k, static_cast<uint32_t>(row.RecNo()));
  }
}

void MdxFile::Flush() {
  if (!writable_ || !dirty_) return;
  Put32(&head_[32], static_cast<uint32_t>(file_size_ / kPageSize));
  PutDate(&head_[44]);
  Write(0, head_.data(), 48);
  for (TagMeta& t : tags_) {
    uint8_t b[4];
    Put32(b, t.root);
    Write(static_cast<uint64_t>(t.header_page) * kPageSize, b, 4);
    uint8_t counter = 0;
    file_->ReadAt(static_cast<uint64_t>(t.header_page) * kPageSize + 20, &counter, 1);
    ++counter;
    Write(static_cast<uint64_t>(t.header_page) * kPageSize + 20, &counter, 1);
    Node root = ReadNode(t, t.root);
    uint8_t has_keys = root.items.empty() && root.leaf() ? 0 : 1;
    Write(static_cast<uint64_t>(t.header_page) * kPageSize + kHasKeysOffset, &has_keys, 1);
  }
  file_->Sync();
  dirty_ = false;
}

std::unique_ptr<MdxFile> OpenFile(const std::string& path, const std::vector<FieldSpec>* fields, const CodePage& cp,
                                  bool writable, const Collation& coll) {
  FileSystem* fs = CurrentFileSystem();
  std::unique_ptr<File> f;
  try {
    f = fs->Open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead);
  } catch (const EngineError&) {
    // The open refuses what is not a regular file; the name is asked only then, to say so.
    if (!fs->IsRegularFile(path))
      throw EngineError(err::kNoSuchFile, "No se encuentra el índice de la tabla.", {CtxFile(path)});
    throw;
  }
  return OpenFile(std::move(f), fields, cp, writable, coll);
}

std::unique_ptr<MdxFile> OpenFile(std::unique_ptr<File> f, const std::vector<FieldSpec>* fields, const CodePage& cp,
                                  bool writable, const Collation& coll) {
  const std::string path = f->path();
  auto idx = std::make_unique<MdxFile>(path, std::move(f), writable, cp, coll);
  idx->Load(fields);
  return idx;
}

}  // namespace mdx_internal

using namespace mdx_internal;

std::unique_ptr<MdxIndex> MdxIndex::Open(const std::string& path, const std::vector<FieldSpec>& fields,
                                         const CodePage& cp, bool writable, const Collation& coll) {
  return OpenFile(path, &fields, cp, writable, coll);
}

std::unique_ptr<MdxIndex> MdxIndex::Open(std::unique_ptr<File> file, const std::vector<FieldSpec>& fields,
                                         const CodePage& cp, bool writable, const Collation& coll) {
  return OpenFile(std::move(file), &fields, cp, writable, coll);
}

void MdxIndex::Create(const std::string& path, const std::string& table_name, const std::vector<TagInfo>& tags,
                      const std::vector<FieldSpec>& fields, const CodePage& cp, RecordSource& rows,
                      const Collation& coll) {
  std::vector<TagMeta> metas;
  for (const TagInfo& info : tags) {
    for (const TagMeta& m : metas)
      if (SameName(m.info.name, info.name))
        throw EngineError(err::kInvalidParam, "Hay dos etiquetas con el mismo nombre.", {CtxFile(path), CtxIndex(info.name)});
    metas.push_back(NewTag(info, path, fields, cp, coll));
  }
  std::vector<const TagMeta*> all;
  for (const TagMeta& m : metas) all.push_back(&m);
  const bool sort_last = !metas.empty() && SortWhileWriting(metas.back(), rows.Count());
  std::vector<EntryList> entries = BuildEntries(all, rows, true, sort_last);
  WriteIndexFile(path, table_name, metas, entries, cp, sort_last);
}

std::vector<TagInfo> ReadMdxTags(const std::string& path) {
  return OpenFile(path, nullptr, CodePage::Ansi(), false, Collation())->Tags();
}

void DumpMdxTag(const std::string& path, const std::string& tag, const CodePage& cp,
                const std::function<void(const std::string& key, uint64_t recno)>& each) {
  auto idx = OpenFile(path, nullptr, cp, false, Collation());
  TagMeta& t = idx->FindTag(tag);
  EntryList entries;
  idx->CollectEntries(t, &entries);
  for (size_t i = 0; i < entries.size(); ++i) {
    std::string key = KeyDisplay(t.type, entries.key(i));
    each(t.type == 'C' ? cp.Decode(key) : key, entries.recno(i));
  }
}

}  // namespace engine::dbase
