// The B-tree of a tag in an open .MDX: nodes read and written through the file, keys inserted
// and removed in place (splitting full nodes, dropping emptied ones), and the walker that reads
// a tag in key order or steers to one key.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "engine/dbase/mdx_file.h"
#include "engine/dbase/mdx_format.h"
#include "engine/error.h"

namespace engine::dbase::mdx_internal {

void MdxFile::Load(const std::vector<FieldSpec>* fields) {
  if (file_size_ < kHeaderPages * kPageSize) Corrupt(path_, "", "el fichero es más corto que su cabecera");
  head_.resize(kHeaderPages * kPageSize);
  ReadExactly(*file_, 0, head_.data(), head_.size());
  uint16_t ppb = Get16(&head_[20]), bsize = Get16(&head_[22]);
  if (ppb != kBlockSize / kPageSize || bsize != kBlockSize)
    throw EngineError(err::kNotSupported,
                      "El índice usa bloques de " + std::to_string(bsize) + " bytes; solo se admiten de 1024.",
                      {CtxFile(path_)});
  if (head_[26] != kTagSlotLength) Corrupt(path_, "", "la tabla de etiquetas tiene una longitud de entrada inválida");
  uint16_t used = Get16(&head_[28]);
  if (used > kMaxTags || used > head_[25]) Corrupt(path_, "", "declara " + std::to_string(used) + " etiquetas");
  std::vector<uint8_t> block(kBlockSize);
  for (uint16_t i = 0; i < used; ++i) {
    const uint8_t* s = &head_[kTagTableOffset + kTagSlotLength * i];
    TagMeta t;
    t.coll = &coll_;
    std::string raw_name = CString(s + 4, 11);
    t.info.name = cp_.Decode(raw_name);
    t.header_page = Get32(s);
    if (!ValidPage(t.header_page)) Corrupt(path_, t.info.name, "la cabecera de la etiqueta está fuera del fichero");
    ReadExactly(*file_, static_cast<uint64_t>(t.header_page) * kPageSize, block.data(), kBlockSize);
    t.root = Get32(block.data());
    uint8_t flags = block[8];
    t.type = static_cast<char>(block[9]);
    t.key_len = Get16(block.data() + 12);
    t.capacity = Get16(block.data() + 14);
    t.item_len = Get16(block.data() + 18);
    t.info.descending = (flags & 0x08) != 0;
    t.info.unique = (flags & 0x40) != 0 || block[23] != 0;
    t.info.key_type = t.type;
    t.expr_bytes = CString(block.data() + kKeyExprOffset, kKeyExprMax);
    if (block[kForFlagOffset] != 0) t.for_bytes = CString(block.data() + kForExprOffset, kForExprMax);
    t.info.expression = cp_.Decode(t.expr_bytes);
    t.info.filter = cp_.Decode(t.for_bytes);
    int want = t.type == 'N' ? kNumericKeyLength : t.type == 'D' ? kDateKeyLength : -1;
    if (t.type != 'C' && t.type != 'N' && t.type != 'D') Corrupt(path_, t.info.name, "el tipo de clave es desconocido");
    if ((want > 0 && t.key_len != want) || (t.type == 'C' && (t.key_len < 1 || t.key_len > kMaxCharKey)))
      Corrupt(path_, t.info.name, "la longitud de clave " + std::to_string(t.key_len) + " no es válida");
    if (t.item_len < t.key_len + 4 || t.capacity < 1 ||
        8 + static_cast<uint32_t>(t.capacity) * static_cast<uint32_t>(t.item_len) + 4 > kBlockSize)
      Corrupt(path_, t.info.name, "el tamaño de las entradas de los nodos no es válido");
    if (!ValidPage(t.root)) Corrupt(path_, t.info.name, "la raíz está fuera del fichero");
    // A tag whose expressions this engine cannot evaluate does not stop the table from
    // opening: the tag is marked unusable (see TagMeta::unusable) and kept as it is.
    if (fields) {
      try {
        t.key_expr = Expression::Parse(t.expr_bytes, *fields, cp_);
        if (!t.for_bytes.empty()) t.for_expr = Expression::Parse(t.for_bytes, *fields, cp_);
        char et = t.key_expr->type();
        if (et != t.type || (et == 'C' && t.key_expr->width() != t.key_len))
          t.unusable = "la clave guardada no corresponde a la expresión sobre los campos de la tabla";
        else if (t.for_expr && t.for_expr->type() != 'L')
          t.unusable = "la condición FOR no da un valor lógico";
      } catch (const EngineError& e) {
        t.unusable = e.message();
      }
      if (!t.unusable.empty()) {
        t.key_expr.reset();
        t.for_expr.reset();
      }
      t.info.problem = t.unusable;
      if (t.unusable.empty()) FindStoredKey(t, *fields, cp_);
    }
    tags_.push_back(std::move(t));
  }
}

uint32_t MdxFile::ReadBlock(const TagMeta& t, uint32_t page, uint8_t* block) {
  if (!ValidPage(page))
    Corrupt(path_, t.info.name, "un nodo apunta a la página " + std::to_string(page) + ", fuera del fichero");
  reader_.ReadExactly(static_cast<uint64_t>(page) * kPageSize, block, kBlockSize);
  uint32_t count = Get32(block);
  if (count > static_cast<uint32_t>(t.capacity))
    Corrupt(path_, t.info.name,
            "el nodo de la página " + std::to_string(page) + " dice tener " + std::to_string(count) + " claves");
  return count;
}

Node MdxFile::ReadNode(const TagMeta& t, uint32_t page) {
  uint8_t block[kBlockSize];
  uint32_t count = ReadBlock(t, page, block);
  Node n;
  n.page = page;
  n.items.resize(count);
  size_t off = 8;
  for (uint32_t i = 0; i < count; ++i) {
    n.items[i].ptr = Get32(block + off);
    n.items[i].key.assign(reinterpret_cast<const char*>(block + off + 4), static_cast<size_t>(t.key_len));
    off += static_cast<size_t>(t.item_len);
  }
  n.right = Get32(block + off);
  return n;
}

void MdxFile::Write(uint64_t offset, const void* data, size_t n) {
  reader_.Invalidate();
  scans_.clear();
  file_->WriteAt(offset, data, n);
}

void MdxFile::WriteNode(const TagMeta& t, const Node& n) {
  uint8_t block[kBlockSize];
  EncodeNode(n, t.item_len, t.key_len, block);
  Write(static_cast<uint64_t>(n.page) * kPageSize, block, kBlockSize);
  file_size_ = std::max(file_size_, static_cast<uint64_t>(n.page) * kPageSize + kBlockSize);
  dirty_ = true;
}

uint32_t MdxFile::AllocPage() {
  uint64_t pages = (file_size_ + kPageSize - 1) / kPageSize;
  if (pages + 2 > 0xFFFFFFFFull) throw EngineError(err::kTableFull, "El índice ha llegado a su tamaño máximo.", {CtxFile(path_)});
  return static_cast<uint32_t>(pages);
}

// --- B-tree changes ---------------------------------------------------------------------

bool MdxFile::ContainsKey(TagMeta& t, const std::string& key) {
  MdxWalker w(this, &t, key);
  uint64_t r = 0;
  return w.Next(&r);
}

void MdxFile::InsertKey(TagMeta& t, const std::string& key, uint32_t recno) {
  if (t.info.unique && ContainsKey(t, key)) return;
  InsertResult r = InsertRec(t, t.root, key, recno, 0);
  if (r.split) {
    Node root;
    root.page = AllocPage();
    root.items.push_back({r.left_page, r.left_max});
    root.right = t.root;
    WriteNode(t, root);
    SetRoot(t, root.page);
  }
  dirty_ = true;
}

void MdxFile::SetRoot(TagMeta& t, uint32_t page) {
  uint8_t b[4];
  Put32(b, page);
  Write(static_cast<uint64_t>(t.header_page) * kPageSize, b, 4);
  t.root = page;
}

MdxFile::InsertResult MdxFile::SplitIfFull(const TagMeta& t, Node& n, InsertResult r) {
  if (n.items.size() <= static_cast<size_t>(t.capacity)) {
    WriteNode(t, n);
    return r;
  }
  size_t h = n.items.size() / 2;
  Node left;
  left.page = AllocPage();
  if (n.leaf()) {
    left.items.assign(n.items.begin(), n.items.begin() + static_cast<long>(h));
    r.left_max = left.items.back().key;
  } else {
    left.items.assign(n.items.begin(), n.items.begin() + static_cast<long>(h) - 1);
    left.right = n.items[h - 1].ptr;
    r.left_max = n.items[h - 1].key;
  }
  n.items.erase(n.items.begin(), n.items.begin() + static_cast<long>(h));
  WriteNode(t, left);
  WriteNode(t, n);
  r.split = true;
  r.left_page = left.page;
  return r;
}

MdxFile::InsertResult MdxFile::InsertRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth) {
  CheckDepth(t, depth);
  Node n = ReadNode(t, page);
  InsertResult r;
  if (n.leaf()) {
    size_t pos = 0;
    while (pos < n.items.size() && t.Cmp(n.items[pos].key, key) <= 0) ++pos;
    n.items.insert(n.items.begin() + static_cast<long>(pos), Item{recno, key});
    if (pos + 1 == n.items.size()) r.new_max = key;
    return SplitIfFull(t, n, r);
  }
  size_t i = 0;
  while (i < n.items.size() && t.Cmp(n.items[i].key, key) < 0) ++i;
  bool rightmost = i == n.items.size();
  uint32_t child = rightmost ? n.right : n.items[i].ptr;
  InsertResult cr = InsertRec(t, child, key, recno, depth + 1);
  if (!rightmost && cr.new_max) n.items[i].key = *cr.new_max;
  if (rightmost) r.new_max = cr.new_max;
  if (cr.split) n.items.insert(n.items.begin() + static_cast<long>(i), Item{cr.left_page, cr.left_max});
  if (!cr.split && !(!rightmost && cr.new_max)) return r;  // this node is unchanged
  return SplitIfFull(t, n, r);
}

bool MdxFile::RemoveKey(TagMeta& t, const std::string& key, uint32_t recno) {
  RemoveResult r = RemoveRec(t, t.root, key, recno, 0);
  if (!r.found) {
    // Unique tags hold only one row per key; another row may own it.
    if (t.info.unique) return false;
    Corrupt(path_, t.info.name, "falta la clave del registro " + std::to_string(recno));
  }
  // An interior root left with a single child gives way to it.
  while (true) {
    Node root = ReadNode(t, t.root);
    if (root.leaf() || !root.items.empty()) break;
    SetRoot(t, root.right);
  }
  dirty_ = true;
  return true;
}

MdxFile::RemoveResult MdxFile::RemoveRec(const TagMeta& t, uint32_t page, const std::string& key, uint32_t recno, int depth) {
  CheckDepth(t, depth);
  Node n = ReadNode(t, page);
  RemoveResult r;
  if (n.leaf()) {
    for (size_t i = 0; i < n.items.size(); ++i) {
      if (n.items[i].ptr != recno || t.Cmp(n.items[i].key, key) != 0) continue;
      bool last = i + 1 == n.items.size();
      n.items.erase(n.items.begin() + static_cast<long>(i));
      r.found = true;
      r.empty = n.items.empty() && depth > 0;  // an empty root stays, as an empty leaf
      if (last && !n.items.empty()) r.new_max = n.items.back().key;
      if (!r.empty) WriteNode(t, n);
      return r;
    }
    return r;
  }
  size_t i = 0;
  while (i < n.items.size() && t.Cmp(n.items[i].key, key) < 0) ++i;
  for (; i <= n.items.size(); ++i) {
    bool rightmost = i == n.items.size();
    uint32_t child = rightmost ? n.right : n.items[i].ptr;
    RemoveResult cr = RemoveRec(t, child, key, recno, depth + 1);
    if (!cr.found) {
      if (!rightmost && t.Cmp(n.items[i].key, key) > 0) return r;
      continue;
    }
    r.found = true;
    if (cr.empty) {
      if (!rightmost) {
        n.items.erase(n.items.begin() + static_cast<long>(i));
      } else if (n.items.empty()) {
        // Its only child went away: this node goes too (the root becomes an empty leaf).
        if (depth > 0) {
          r.empty = true;
          return r;
        }
        n.right = 0;
      } else {
        // The rightmost child went away: its left neighbour takes its place.
        n.right = n.items.back().ptr;
        r.new_max = n.items.back().key;
        n.items.pop_back();
      }
    } else if (cr.new_max) {
      if (!rightmost) n.items[i].key = *cr.new_max;
      else r.new_max = cr.new_max;
    } else {
      return r;
    }
    WriteNode(t, n);
    return r;
  }
  return r;
}

// --- Walking a tag ---------------------------------------------------------------------

MdxWalker::MdxWalker(MdxFile* index, const TagMeta* tag, std::optional<std::string> target)
    : index_(index), tag_(tag), target_(std::move(target)) {
  if (!target_) return;
  bounded_ = true;
  wanted_ = *target_;
  last_ = *target_;
  if (tag_->type == 'C') {
    // The same key padded with NULs instead of blanks sorts before it (after it, descending).
    std::string nul_padded = *target_;
    for (size_t n = nul_padded.size(); n > 0 && nul_padded[n - 1] == ' '; --n) nul_padded[n - 1] = '\0';
    if (tag_->Cmp(nul_padded, *target_) < 0) target_ = nul_padded;
    else last_ = nul_padded;
  }
}

void MdxWalker::Descend(uint32_t page) {
  while (true) {
    if (stack_.size() > static_cast<size_t>(kMaxDepth) || ++nodes_read_ > index_->BlockBudget())
      Corrupt(index_->path(), tag_->info.name, "el árbol tiene un ciclo");
    Node n = index_->ReadNode(*tag_, page);
    for (const Frame& f : stack_)
      if (f.node.page == page) Corrupt(index_->path(), tag_->info.name, "el árbol tiene un ciclo");
    size_t idx = 0;
    if (target_) {
      while (idx < n.items.size() && tag_->Cmp(n.items[idx].key, *target_) < 0) ++idx;
    }
    bool leaf = n.leaf();
    uint32_t next = 0;
    if (!leaf) next = idx < n.items.size() ? n.items[idx].ptr : n.right;
    stack_.push_back({std::move(n), idx});
    if (leaf) return;
    page = next;
  }
}

bool MdxWalker::Next(uint64_t* recno) {
  if (done_) return false;
  if (!started_) {
    started_ = true;
    Descend(tag_->root);
  }
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    if (top.node.leaf()) {
      if (top.idx < top.node.items.size()) {
        const Item& it = top.node.items[top.idx++];
        if (bounded_) {
          if (tag_->Cmp(it.key, last_) > 0) {
            done_ = true;
            return false;
          }
          if (!SameKey(tag_->type, it.key, wanted_)) continue;
        }
        *recno = it.ptr;
        return true;
      }
      stack_.pop_back();
      continue;
    }
    // Interior: move to the next child.
    ++top.idx;
    if (top.idx > top.node.items.size()) {
      stack_.pop_back();
      continue;
    }
    uint32_t child = top.idx < top.node.items.size() ? top.node.items[top.idx].ptr : top.node.right;
    // Descend from the first item: targets only steer the first descent.
    std::optional<std::string> saved = std::move(target_);
    target_.reset();
    Descend(child);
    target_ = std::move(saved);
  }
  done_ = true;
  return false;
}

}  // namespace engine::dbase::mdx_internal
