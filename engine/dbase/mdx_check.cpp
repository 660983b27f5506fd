// Reading, checking and rewriting whole tags of an open .MDX: the structure walk that gathers
// every entry, the checker that compares each tag with the rows and names the order a foreign
// tag follows, and the rewrite of an index for a rebuilt table.
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/collation.h"
#include "engine/dbase/mdx_file.h"
#include "engine/dbase/mdx_format.h"
#include "engine/dbase/mdx_key.h"
#include "engine/error.h"
#include "engine/spare_bytes.h"

namespace engine::dbase {

namespace mdx_internal {

void MdxFile::Visit(const TagMeta& t, uint32_t page, int depth, StructureWalk& s, EntryList* out,
                    std::string* subtree_max) {
  if (depth > kMaxDepth) Corrupt(path_, t.info.name, "el árbol es demasiado profundo");
  // A page outside the file is refused by ReadBlock below, the first time it is reached.
  if (ValidPage(page)) {
    if (s.seen.empty()) s.seen.resize(static_cast<size_t>(BlockBudget()));
    if (s.seen[page])
      Corrupt(path_, t.info.name, "la página " + std::to_string(page) + " se alcanza dos veces (ciclo o nodo compartido)");
    s.seen[page] = true;
  }
  uint8_t block[kBlockSize];
  uint32_t count = ReadBlock(t, page, block);
  const auto item = [&](uint32_t i) { return block + 8 + static_cast<size_t>(i) * static_cast<size_t>(t.item_len); };
  if (Get32(item(count)) == 0) {  // a leaf: its entries go straight to the list
    if (s.leaf_depth < 0) s.leaf_depth = depth;
    if (s.leaf_depth != depth) Corrupt(path_, t.info.name, "las hojas no están todas a la misma profundidad");
    // Each item is the record number (4 bytes, little-endian, as an entry keeps it) and the key:
    // copied into the list's room for them, key first.
    const size_t key_len = static_cast<size_t>(t.key_len);
    const size_t at = out->data.size();
    out->data.resize_for_overwrite(at + static_cast<size_t>(count) * out->stride());
    char* to = out->data.data() + at;
    for (uint32_t i = 0; i < count; ++i, to += key_len + 4) {
      std::memcpy(to, item(i) + 4, key_len);
      std::memcpy(to + key_len, item(i), 4);
    }
    if (count > 0) subtree_max->assign(reinterpret_cast<const char*>(item(count - 1) + 4), key_len);
    return;
  }
  Node n = ReadNode(t, page);
  for (size_t i = 0; i <= n.items.size(); ++i) {
    uint32_t child = i < n.items.size() ? n.items[i].ptr : n.right;
    std::string max;
    size_t before = out->size();
    Visit(t, child, depth + 1, s, out, &max);
    if (out->size() == before) continue;
    // A separator is the highest key of the child on its left: no key there lies above it, and
    // none in the child on its right lies below it. A lookup descends by them.
    if (i < n.items.size() && t.Cmp(max, n.items[i].key) > 0) s.separators_agree = false;
    if (i > 0 && t.Cmp(out->key(before), n.items[i - 1].key) < 0) s.separators_agree = false;
    *subtree_max = max;
  }
}

bool MdxFile::WalkTag(const TagMeta& t, EntryList* out) {
  StructureWalk s;
  std::string max;
  Visit(t, t.root, 0, s, out, &max);
  return s.separators_agree;
}

bool MdxFile::CollectInto(const TagMeta& t, EntryList* out) {
  // Every node of the tag is read, in tree order rather than file order: a file of moderate
  // size is read in one go first.
  HeldWhole held(*this);
  return WalkTag(t, out);
}

MdxFile::HeldWhole::HeldWhole(MdxFile& f) : f_(f) {
  if (f_.file_size_ <= kHoldWholeFile) f_.reader_.Hold(0, static_cast<size_t>(f_.file_size_));
}

MdxFile::HeldWhole::~HeldWhole() { f_.reader_.Invalidate(); }

namespace {

// For a tag whose keys are not in its collation's order: the known order they follow instead,
// in words, or "" when they follow none.
std::string ForeignOrder(const TagMeta& t, const EntryList& e) {
  for (const Collation& c : KnownCollations()) {
    if (c.SameOrder(*t.coll)) continue;
    TagMeta other;
    other.type = t.type;
    other.info.descending = t.info.descending;
    other.coll = &c;
    if (FirstDisorder(other, e) == e.size())
      return c.binary() ? "sus claves siguen el orden de los bytes (binario)" : "sus claves siguen el orden " + c.name();
  }
  return "";
}

// Whether some order of the code page's bytes would put every pair of neighbours as stored:
// each pair that differs says which byte goes first, and a cycle among those statements means
// that no order explains the tag.
bool SomeByteOrderFits(const TagMeta& t, const EntryList& e) {
  // Each pair of neighbours that differ says which byte goes first; a cycle among those
  // statements means no order of bytes explains the tag.
  std::vector<std::vector<uint8_t>> after(256);
  std::vector<int> incoming(256, 0);
  std::vector<std::vector<bool>> edge(256, std::vector<bool>(256, false));
  for (size_t i = 1; i < e.size(); ++i) {
    std::string_view a = e.key(i - 1), b = e.key(i);
    size_t j = 0;
    while (j < a.size() && a[j] == b[j]) ++j;
    if (j == a.size()) continue;
    auto x = static_cast<uint8_t>(a[j]), y = static_cast<uint8_t>(b[j]);
    if (t.info.descending) std::swap(x, y);
    if (edge[x][y]) continue;
    edge[x][y] = true;
    after[x].push_back(y);
    ++incoming[y];
  }
  std::vector<uint8_t> ready;
  for (int b = 0; b < 256; ++b)
    if (incoming[b] == 0) ready.push_back(static_cast<uint8_t>(b));
  int placed = 0;
  while (!ready.empty()) {
    uint8_t b = ready.back();
    ready.pop_back();
    ++placed;
    for (uint8_t y : after[b])
      if (--incoming[y] == 0) ready.push_back(y);
  }
  return placed == 256;
}

}  // namespace

namespace {

constexpr uint32_t kNoEntry = 0xFFFFFFFFu;
// What the stored entries say of a row.
constexpr uint8_t kListed = 1;     // an entry names it
constexpr uint8_t kSameBytes = 2;  // an entry that counts names it with the very bytes of its key

// Compares a tag's stored entries with the keys its rows give: each entry must name a row once,
// with that row's key, and every row with a key must be there (in a unique tag, its key must).
// `expected` holds the rows' keys in record order (none for a row its FOR clause leaves out);
// `ordered` says whether the stored entries were found in the tag's order.
template <typename Add>
void CompareWithRows(const TagMeta& t, const EntryList& stored, const EntryList& expected, uint64_t count,
                     bool ordered, const CodePage& cp, Add&& add) {
  std::vector<uint32_t> entry_of(static_cast<size_t>(count), kNoEntry);  // by row, into `expected`
  for (size_t i = 0; i < expected.size(); ++i) entry_of[expected.recno(i) - 1] = static_cast<uint32_t>(i);
  // An entry counts as holding its key when it names a row that has one.
  const auto counts = [&](size_t i) {
    const uint64_t r = stored.recno(i);
    return r >= 1 && r <= count && entry_of[r - 1] != kNoEntry;
  };
  // A unique tag whose keys rise strictly holds each key once: whether a row's key is there is
  // a binary search. Otherwise the keys are gathered in a set.
  bool strict = t.info.unique && ordered;
  for (size_t i = 1; strict && i < stored.size(); ++i) strict = t.Cmp(stored.key(i - 1), stored.key(i)) < 0;
  std::unordered_set<std::string_view> keys;
  std::vector<uint8_t> state(static_cast<size_t>(count), 0);
  const size_t key_len = stored.key_len;
  const auto row = [](uint64_t r) { return "registro " + std::to_string(r) + ": "; };
  for (size_t i = 0; i < stored.size(); ++i) {
    const uint64_t r = stored.recno(i);
    const std::string_view k = stored.key(i);
    if (r == 0 || r > count) {
      add(row(r) + "no existe en la tabla");
      continue;
    }
    uint8_t& st = state[r - 1];
    if (st & kListed) add(row(r) + "aparece más de una vez");
    st |= kListed;
    const uint32_t e = entry_of[r - 1];
    if (e == kNoEntry) {
      add(row(r) + "está en la etiqueta pero su condición FOR lo excluye");
      continue;
    }
    const std::string_view want = expected.key(e);
    if (std::memcmp(want.data(), k.data(), key_len) == 0)
      st |= kSameBytes;
    else if (t.Cmp(want, k) != 0)
      add(row(r) + "la clave guardada «" + cp.Decode(KeyDisplay(t.type, k)) + "» no es la de la fila «" +
          cp.Decode(KeyDisplay(t.type, want)) + "»");
    if (t.info.unique && !strict && !keys.insert(k).second) add(row(r) + "repite una clave en una etiqueta única");
  }
  const auto held = [&](std::string_view want) {
    if (!strict) return keys.count(want) > 0;
    size_t lo = 0, hi = stored.size();
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (t.Cmp(stored.key(mid), want) < 0) lo = mid + 1;
      else hi = mid;
    }
    return lo < stored.size() && std::memcmp(stored.key(lo).data(), want.data(), key_len) == 0 && counts(lo);
  };
  for (uint64_t r = 1; r <= count; ++r) {
    const uint32_t e = entry_of[r - 1];
    if (e == kNoEntry) continue;
    if (t.info.unique) {
      if (!(state[r - 1] & kSameBytes) && !held(expected.key(e)))
        add("registro " + std::to_string(r) + ": su clave falta en la etiqueta única");
    } else if (!(state[r - 1] & kListed)) {
      add("registro " + std::to_string(r) + ": falta en la etiqueta");
    }
  }
}

// The lists a check gathers the tags' entries into, kept by the thread for its next check while a
// KeepSpares lives (engine/spare_bytes.h): a list of some hundred kilobytes in fresh pages costs
// a page fault for every 4 KiB written, and a check of table after table would pay that for every
// tag.
class KeptLists {
 public:
  // Deletes the thread's lists (when its KeepSpares ends).
  static void FreeThreadLists();
  // A list with room for `bytes` bytes of entries: the kept one with the least room that is
  // enough, else the one with the most (made larger), else a new one. Emptied.
  EntryList Take(size_t key_len, size_t bytes) {
    size_t pick = kept_.size();  // none yet
    for (size_t i = 0; i < kept_.size(); ++i) {
      if (pick == kept_.size()) {
        pick = i;
        continue;
      }
      const size_t have = kept_[i].room, best = kept_[pick].room;
      const bool fits = have >= bytes, best_fits = best >= bytes;
      if (fits ? !best_fits || have < best : !best_fits && have > best) pick = i;
    }
    Kept k;
    if (pick < kept_.size()) {
      k = std::move(kept_[pick]);
      kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(pick));
    }
    k.list.data.resize(0);
    k.list.key_len = key_len;
    if (bytes > k.room) k.list.data.reserve(bytes);
    if (lent_.size() == kMostLent) lent_.erase(lent_.begin());  // lists a failed check never gave back
    lent_.emplace_back(k.list.data.data(), std::max(bytes, k.room));
    return std::move(k.list);
  }
  // Keeps a list for a later check, up to a few of them.
  void Give(EntryList&& e) {
    Kept k{std::move(e), 0};
    k.room = k.list.data.size();  // a list that grew past the room it was given has at least its size
    for (size_t i = 0; i < lent_.size(); ++i)
      if (lent_[i].first == k.list.data.data()) {
        k.room = std::max(k.room, lent_[i].second);
        lent_.erase(lent_.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    if (k.room == 0 || k.room > kMostBytes) return;
    if (kept_.size() == kMost) kept_.erase(kept_.begin());
    kept_.push_back(std::move(k));
  }

 private:
  struct Kept {
    EntryList list;
    size_t room = 0;  // bytes it has room for, at least
  };
  static constexpr size_t kMost = 4, kMostLent = 16;
  static constexpr size_t kMostBytes = 16u << 20;
  std::vector<Kept> kept_;
  std::vector<std::pair<const char*, size_t>> lent_;  // lists handed out: their bytes and room
};

// The thread's lists, made while a KeepSpares lives and deleted when it ends (nullptr otherwise).
// A plain pointer: objects of a thread with destructors of their own are not destroyed safely at
// its end everywhere (with MinGW's threads the thread's storage may be gone first).
thread_local KeptLists* t_lists = nullptr;

KeptLists* ThreadLists() {
  if (!t_lists && KeepSpares::AtEnd(&KeptLists::FreeThreadLists)) t_lists = new KeptLists;
  return t_lists;
}

void KeptLists::FreeThreadLists() {
  delete t_lists;
  t_lists = nullptr;
}

// A list for a tag's entries: the thread's kept one when it keeps them, else a new one.
EntryList TakeList(size_t key_len, size_t bytes) {
  if (KeptLists* kept = ThreadLists()) return kept->Take(key_len, bytes);
  EntryList list;
  list.key_len = key_len;
  list.data.reserve(bytes);
  return list;
}

void GiveList(EntryList&& list) {
  if (KeptLists* kept = ThreadLists()) kept->Give(std::move(list));
}

}  // namespace

IndexCheckReport MdxFile::Check(RecordSource& rows) {
  IndexCheckReport report;
  const uint64_t count = rows.Count();
  std::vector<std::vector<std::string>> problems(tags_.size());
  const auto adder = [&](size_t i) {
    return [&problems, i, this](const std::string& what) {
      auto& p = problems[i];
      const std::string& name = tags_[i].info.name;
      if (p.size() < kMaxProblemsPerTag) p.push_back("Índice " + name + ": " + what);
      else if (p.size() == kMaxProblemsPerTag) p.push_back("Índice " + name + ": más problemas omitidos");
    };
  };
  // First the structure and order of every tag, the file read once for all of them; then the
  // keys of the tags that can be compared with the rows, computed for all of them in one pass.
  std::vector<EntryList> entries(tags_.size());
  std::vector<const TagMeta*> comparable;
  std::vector<size_t> comparable_at;
  std::vector<bool> ordered(tags_.size(), false);
  {
    HeldWhole held(*this);
    for (size_t ti = 0; ti < tags_.size(); ++ti) {
      TagMeta& t = tags_[ti];
      const auto add = adder(ti);
      // A sound tag holds at most an entry per row, and no tag more than its items the file has
      // room for: room for them is made once rather than grown list by list.
      const uint64_t fit = t.item_len > 0 ? file_size_ / static_cast<uint64_t>(t.item_len) : 0;
      const size_t most = static_cast<size_t>(std::min(count, fit));
      EntryList& found = entries[ti];
      found = TakeList(static_cast<size_t>(t.key_len), most * (static_cast<size_t>(t.key_len) + 4));
      bool separators = true;
      try {
        separators = WalkTag(t, &found);
      } catch (const EngineError& e) {
        add("estructura dañada en " + path_ + ": " + e.message());
        continue;
      }
      const size_t bad = FirstDisorder(t, found);
      ordered[ti] = bad == found.size();
      t.order = ordered[ti] && separators ? TagMeta::Order::kAgrees : TagMeta::Order::kDiffers;
      if (bad < found.size()) {
        std::string other = t.type == 'C' ? ForeignOrder(t, found) : std::string();
        if (!other.empty()) {
          report.foreign_order.push_back("Índice " + t.info.name + ": orden distinto del de su idioma (" +
                                         t.coll->Description() + "): " + other);
        } else {
          std::string where = "registros " + std::to_string(found.recno(bad - 1)) + " y " +
                              std::to_string(found.recno(bad)) + ": las claves «" +
                              cp_.Decode(KeyDisplay(t.type, found.key(bad - 1))) + "» y «" +
                              cp_.Decode(KeyDisplay(t.type, found.key(bad))) + "» están desordenadas";
          if (t.type != 'C')
            add(where);
          else if (SomeByteOrderFits(t, found))
            add(where + " en el orden de su idioma (" + t.coll->Description() +
                ") y no siguen ningún otro orden conocido");
          else
            add(where + " (ningún orden de caracteres explica la etiqueta)");
        }
      } else if (!separators) {
        add("los separadores de los nodos interiores no corresponden a las claves de sus ramas");
      }
      if (!t.unusable.empty()) {
        report.unchecked.push_back("Índice " + t.info.name + ": no se pueden comprobar sus claves: este programa no "
                                   "sabe calcular su expresión «" + t.info.expression + "» (" + t.unusable + ")");
        continue;
      }
      if (!t.key_expr) {
        add("no se pueden comprobar las claves: falta la descripción de los campos");
        continue;
      }
      comparable.push_back(&t);
      comparable_at.push_back(ti);
    }
  }
  if (!comparable.empty()) {
    // The tags whose keys are stored character fields are gathered together, from blocks of
    // records. Any other tag evaluates its expression row by row in a pass of its own, in tag
    // order, so that a value that cannot be read stops the check at the same tag and row as a
    // check of one tag after another would.
    std::vector<EntryList> expected(comparable.size());
    std::vector<const TagMeta*> stored;
    std::vector<size_t> stored_at;
    for (size_t k = 0; k < comparable.size(); ++k)
      if (comparable[k]->raw_length > 0) {
        stored.push_back(comparable[k]);
        stored_at.push_back(k);
      }
    if (!stored.empty()) {
      std::vector<EntryList> got = BuildEntries(stored, rows, false);
      for (size_t j = 0; j < stored.size(); ++j) expected[stored_at[j]] = std::move(got[j]);
    }
    for (size_t k = 0; k < comparable.size(); ++k)
      if (comparable[k]->raw_length == 0) expected[k] = std::move(BuildEntries({comparable[k]}, rows, false)[0]);
    for (size_t k = 0; k < comparable.size(); ++k) {
      const size_t ti = comparable_at[k];
      CompareWithRows(tags_[ti], entries[ti], expected[k], count, ordered[ti], cp_, adder(ti));
      GiveList(std::move(entries[ti]));
    }
  }
  for (EntryList& e : entries) GiveList(std::move(e));
  for (auto& p : problems)
    for (auto& line : p) report.problems.push_back(std::move(line));
  return report;
}

namespace {

// What is wrong with the entries of a tag to carry over, checked against the keys the rebuilt
// rows give (`expected`, in record order); "" when nothing is. Fills `kept` with the entries
// renumbered for the new rows.
std::string CarriedTagDamage(const TagMeta& t, const EntryList& found, const std::vector<uint64_t>& recno_map,
                             const EntryList& expected, uint64_t new_count, EntryList* kept) {
  constexpr uint32_t kNone = 0xFFFFFFFFu;
  std::vector<uint32_t> at(static_cast<size_t>(new_count) + 1, kNone);
  for (size_t i = 0; i < expected.size(); ++i) at[expected.recno(i)] = static_cast<uint32_t>(i);
  std::vector<bool> seen(recno_map.size(), false);
  kept->key_len = found.key_len;
  for (size_t i = 0; i < found.size(); ++i) {
    uint64_t r = found.recno(i);
    if (r == 0 || r > recno_map.size()) return "una entrada apunta al registro " + std::to_string(r) + ", que no existe";
    if (seen[r - 1]) return "el registro " + std::to_string(r) + " aparece más de una vez";
    seen[r - 1] = true;
    uint64_t to = recno_map[r - 1];
    if (to == kPurgedRow) continue;
    if (to > new_count) return "el registro " + std::to_string(r) + " no tiene fila en la tabla nueva";
    uint32_t e = at[to];
    if (e == kNone) return "el registro " + std::to_string(r) + " está en la etiqueta pero su condición FOR lo excluye";
    if (t.Cmp(expected.key(e), found.key(i)) != 0)
      return "la clave guardada del registro " + std::to_string(r) + " no es la de su fila";
    kept->Add(found.key(i), static_cast<uint32_t>(to));
  }
  size_t want = expected.size();
  if (t.info.unique) {
    std::unordered_set<std::string_view> keys;
    for (size_t i = 0; i < expected.size(); ++i) keys.insert(expected.key(i));
    want = keys.size();
    if (kept->size() != want) return "a la etiqueta única le faltan claves o le sobran";
  }
  if (kept->size() < want) return "faltan " + std::to_string(want - kept->size()) + " registros en la etiqueta";
  if (kept->size() > want) return "la etiqueta tiene más entradas que filas";
  return "";
}

}  // namespace

}  // namespace mdx_internal

using namespace mdx_internal;

void RewriteIndex(const std::string& old_path, const std::string& new_path, const std::string& table_name,
                  const std::vector<TagPlan>& plan, const std::vector<uint64_t>& recno_map,
                  const std::vector<FieldSpec>& new_fields, const CodePage& cp, RecordSource& new_rows,
                  const Collation& coll) {
  std::unique_ptr<MdxFile> old;
  std::vector<TagMeta> metas;
  std::vector<EntryList> entries(plan.size());
  struct Carried {
    size_t index;
    const TagMeta* from;
    EntryList found;
  };
  std::vector<Carried> carried;
  std::vector<bool> built_anew(plan.size(), false);
  metas.reserve(plan.size());
  for (const TagPlan& p : plan) {
    for (const TagMeta& m : metas)
      if (SameName(m.info.name, p.tag.name))
        throw EngineError(err::kInvalidParam, "Hay dos etiquetas con el mismo nombre.", {CtxFile(new_path), CtxIndex(p.tag.name)});
    if (!p.carry_over) {
      metas.push_back(NewTag(p.tag, new_path, new_fields, cp, coll));
      continue;
    }
    if (!old) old = OpenFile(old_path, nullptr, cp, false, coll);
    TagMeta& from = old->FindTag(p.old_tag);
    if (p.as_stored) {
      // Its keys cannot be computed: carried over as stored, renumbered, with nothing rebuilt.
      EntryList found;
      old->CollectEntries(from, &found);
      std::vector<bool> seen(recno_map.size(), false);
      EntryList kept;
      kept.key_len = found.key_len;
      for (size_t i = 0; i < found.size(); ++i) {
        uint64_t r = found.recno(i);
        if (r == 0 || r > recno_map.size() || seen[r - 1])
          throw EngineError(err::kIndexCorrupt,
                            "La etiqueta está dañada y su expresión no se sabe calcular, así que no se puede "
                            "regenerar; no se ha modificado nada. Regenere los índices de la tabla en Tribanor.",
                            {CtxFile(old_path), CtxIndex(from.info.name)});
        seen[r - 1] = true;
        if (recno_map[r - 1] != kPurgedRow) kept.Add(found.key(i), static_cast<uint32_t>(recno_map[r - 1]));
      }
      TagMeta t;
      t.info = from.info;
      t.info.name = p.tag.name;
      t.expr_bytes = from.expr_bytes;
      t.for_bytes = from.for_bytes;
      t.type = from.type;
      t.key_len = from.key_len;
      t.item_len = ItemLength(t.key_len);
      t.capacity = Capacity(t.item_len);
      t.coll = &coll;
      t.unusable = p.tag.problem.empty() ? "su expresión no se sabe calcular" : p.tag.problem;
      entries[metas.size()] = std::move(kept);
      metas.push_back(std::move(t));
      continue;
    }
    TagInfo info = from.info;
    info.name = p.tag.name;
    TagMeta t = NewTag(info, new_path, new_fields, cp, coll);
    if (t.type != from.type || t.key_len != from.key_len)
      throw EngineError(err::kInvalidRestructure,
                        "La etiqueta no se puede conservar: su expresión ya no da la misma clave con los campos nuevos.",
                        {CtxFile(old_path), CtxIndex(p.old_tag)});
    // Where this engine knows the tag's order, its entries are the new rows' keys in that order
    // whatever the old tag held: built anew, which costs less than reading and checking the old
    // ones. Only a tag in an order it does not know has its entries carried over.
    if (t.type != 'C' || coll.confirmed()) {
      built_anew[metas.size()] = true;
      metas.push_back(std::move(t));
      continue;
    }
    Carried c{metas.size(), &from, {}};
    old->CollectEntries(from, &c.found);
    carried.push_back(std::move(c));
    metas.push_back(std::move(t));
  }
  // Tags carried over are checked against the new rows (one pass for all of them): each row once,
  // with its own key. One that is not sound refuses the rebuild.
  if (!carried.empty()) {
    std::vector<const TagMeta*> tags;
    for (const Carried& c : carried) tags.push_back(&metas[c.index]);
    std::vector<EntryList> expected = BuildEntries(tags, new_rows, false);
    const uint64_t new_count = new_rows.Count();
    for (size_t k = 0; k < carried.size(); ++k) {
      Carried& c = carried[k];
      const TagMeta& t = metas[c.index];
      EntryList kept;
      std::string damage = CarriedTagDamage(t, c.found, recno_map, expected[k], new_count, &kept);
      if (!damage.empty())
        throw EngineError(err::kIndexCorrupt,
                          "La etiqueta del índice está dañada (" + damage + ") y su orden (" + coll.Description() +
                              ") no se conoce, así que no se puede regenerar; no se ha modificado nada. Regenere los "
                              "índices de la tabla en Tribanor y vuelva a intentarlo.",
                          {CtxFile(old_path), CtxIndex(c.from->info.name)});
      entries[c.index] = std::move(kept);
    }
  }
  std::vector<const TagMeta*> rebuilt;
  std::vector<size_t> where;
  for (size_t i = 0; i < plan.size(); ++i)
    if (!plan[i].carry_over || built_anew[i]) {
      rebuilt.push_back(&metas[i]);
      where.push_back(i);
    }
  const bool sort_last =
      !rebuilt.empty() && where.back() + 1 == metas.size() && SortWhileWriting(metas.back(), new_rows.Count());
  if (!rebuilt.empty()) {
    std::vector<EntryList> built = BuildEntries(rebuilt, new_rows, true, sort_last);
    for (size_t k = 0; k < where.size(); ++k) entries[where[k]] = std::move(built[k]);
  }
  WriteIndexFile(new_path, table_name, metas, entries, cp, sort_last);
}

}  // namespace engine::dbase
