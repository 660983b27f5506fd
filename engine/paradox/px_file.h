// Byte-level pieces of the Paradox files shared by the table storage: little-endian helpers,
// the .DB/.PX header writer, the .VAL reader and writer. The .VAL format (level 4 and later):
//   0x00 u8 .DB changeCount2 (0x2E), 0x01 u8 .DB fileVersionID, 0x02 u8 number of checks,
//   0x07 u8 number of fields + 1, 0x09 u32 footer offset, 0x0D u32 referential-integrity offset;
//   checks from 0x35, each a 0x1C-byte head (field index, picture length with its NUL, required,
//   lookup flags, six presence words: lookup, internal, min, max, default, picture) followed by
//   what is present: lookup table name (0x1A bytes) + 0x36 bytes, min, max, default (record
//   encoding), picture. Footer: u16 field count, 4 bytes, field numbers, (type, size) pairs,
//   table name (0x4F bytes; 261 at level 7), field names.
// Level-3 tables keep their checks in another, unpublished layout: this engine neither reads
// nor writes checks for them (ValChecks() and Create() refuse with kNotSupported).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bde.h"
#include "engine/codepage.h"
#include "engine/paradox/px_codec.h"

namespace engine::paradox {

inline uint16_t Get16(const std::string& b, size_t off) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[off]) | (static_cast<uint8_t>(b[off + 1]) << 8));
}
inline uint32_t Get32(const std::string& b, size_t off) {
  return static_cast<uint32_t>(Get16(b, off)) | (static_cast<uint32_t>(Get16(b, off + 2)) << 16);
}
inline void Put16(std::string& b, size_t off, uint16_t v) {
  b[off] = static_cast<char>(v & 0xFF);
  b[off + 1] = static_cast<char>(v >> 8);
}
inline void Put32(std::string& b, size_t off, uint32_t v) {
  Put16(b, off, static_cast<uint16_t>(v & 0xFFFF));
  Put16(b, off + 2, static_cast<uint16_t>(v >> 16));
}

// fileVersionID byte -> table level (3, 4, 5, 7), or 0 when unknown.
int LevelFromVersion(uint8_t version_id);
// The fileVersionID this engine writes for a level.
uint8_t VersionForLevel(int level);

// One field as the header stores it.
struct HeaderField {
  const PxType* type = nullptr;
  uint8_t size = 0;        // the header's size byte
  std::string name;        // bytes in the table's code page
};

struct HeaderLayout {
  uint8_t file_type = 2;   // 0 keyed .DB, 1 .PX, 2 unkeyed .DB, 3/5 .Xnn, 4 .Ynn, 6/8 .XGn, 7 .YGn
  uint8_t version_id = 0x0B;
  uint16_t record_size = 0;
  uint8_t block_kb = 2;
  int key_fields = 0;
  int codepage = 0;        // written at level 4+ data files
  std::string table_name;  // the file's base name
  std::vector<HeaderField> fields;
  // Data files (.DB and .X) only: the fields' numbers (empty: 1, 2, ...), the sort order's name,
  // and for an .X file the index's name after it.
  std::vector<uint16_t> numbers;
  std::string sort_name = "ascii";
  std::string index_name;
};

// Builds a header (headerSize bytes, a multiple of 2048) with no blocks and no records. A .X
// file's header is laid out like a .DB's, with the index's name after the sort order's.
std::string BuildHeader(const HeaderLayout& layout);

// One entry of the lowest level of a primary index (.PX over .DB blocks, .Y over .X blocks):
// the first key of a block, the block's number and its records.
struct TreeEntry {
  std::string key;
  uint32_t child = 0;
  uint64_t count = 0;
};
// Builds the whole index file: `head` (from BuildHeader, fileType 1, 4 or 7) with its counts,
// root and levels filled in, then the index blocks, numbered from 1. Upper levels hold (first key,
// block, records below) entries until one block holds them all. Throws EngineError (kTableFull,
// naming `table`) when the index needs more blocks than a Paradox file can number.
std::string BuildIndexTree(std::string head, const std::vector<TreeEntry>& leaves, uint32_t key_len,
                           uint32_t block_size, const std::string& table);

// Reads the checks of a .VAL image. `fields`/`lengths` describe the table's fields (record
// encoding sizes); `change_count` is the table's changeCount2. Throws EngineError (with the
// .VAL path as context) on a malformed or stale file.
std::vector<bde::VCHKDesc> ParseVal(const std::string& val, const std::string& val_path,
                                    const std::vector<HeaderField>& fields, uint8_t change_count,
                                    const CodePage& cp);

// Referential-integrity links of a .VAL (level 4 and later). At the offset in header word 0x0D:
// a u16 count, then per link of this table to a parent table 0x1E0 bytes: the link's name (from
// +0x00), the first field's name (+0x40), the parent table's file name (+0xD4), the update rule
// (+0x19A: 1 cascade, 0 prohibit), this table's field numbers (+0x1A0) and the parent's
// (+0x1C0), u16 each, 0 ending the list. Then the record of the tables that depend on this one
// (docs/paradox-indexes.md): a u16 that is 0 when there are none; else 0xB8 bytes whose u16 list
// at +0x98 names this table's fields the dependents refer to, a u16 count at +0xB8, and per
// dependent 0x12A bytes: the link's name (+0x00), the dependent table's file name (+0x40), its
// first field's name (+0x92), that field's number (+0x104) and its field numbers (+0x10A, 0
// ending the list). The bytes between are kept as stored, never read.
struct RiLink {
  std::string name;
  std::string parent;              // the parent table's file name
  bool cascade = false;            // update rule
  std::vector<int> fields;         // 0-based fields of this table
  std::vector<int> parent_fields;  // 1-based field numbers in the parent
};
struct RiDependent {
  std::string name;         // the link's name
  std::string table;        // the dependent table's file name
  std::string field;        // the dependent's first linked field
  std::vector<int> fields;  // 1-based field numbers in the dependent table
};
struct RiLinks {
  std::vector<RiLink> links;
  bool dependents = false;  // other tables' links to this one are recorded
  // The record of those links in the layout above (false: present in another layout, which
  // nothing may rebuild), with this table's fields it names (0-based) and the dependents.
  bool dependents_read = false;
  std::vector<int> referenced;
  std::vector<RiDependent> dependent_links;
};
RiLinks ParseRi(const std::string& val, const std::string& val_path, size_t field_count, const CodePage& cp);
// The referential-integrity section of a .VAL image as stored (from the offset in header word
// 0x0D up to the footer), "" when there is none; ParseRi must have accepted the image.
std::string RiSection(const std::string& val);

// Builds a .VAL image for a new table, with `ri_section` (see RiSection) after the checks when
// it is not empty. Throws EngineError (kInvalidParam, kNotSupported, kValueOutOfRange) for
// checks that cannot be stored.
std::string BuildVal(const std::vector<bde::VCHKDesc>& checks, const std::vector<HeaderField>& fields,
                     uint8_t change_count, uint8_t version_id, const std::string& table_name,
                     const CodePage& cp, const std::string& ri_section = "");

}  // namespace engine::paradox
