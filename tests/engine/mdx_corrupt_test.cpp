// Damaged indexes: every defect gives an error or a checker problem naming the file; nothing
// crashes, hangs or writes.
#include <gtest/gtest.h>

#include <random>

#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace mdx_test;
using engine::dbase::MdxIndex;

uint32_t Get32(const std::string& b, size_t off) {
  uint32_t v = 0;
  std::memcpy(&v, &b[off], 4);
  return v;
}
void Put32(std::string& b, size_t off, uint32_t v) { std::memcpy(&b[off], &v, 4); }

class MdxCorrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    table.fields = {Char("NOMBRE", 20), Num("IMPORTE", 8, 2)};
    std::mt19937 rng(99);
    for (int i = 0; i < 2000; ++i)
      table.Add({std::string("N").append(std::to_string(rng() % 100000)), std::to_string(static_cast<int>(rng() % 90000) - 45000)});
    path = dir / "T.MDX";
    Rows rows(table);
    MdxIndex::Create(path, "T", {{"NOMBRE", "NOMBRE", "", 'C', false, false}, {"IMPORTE", "IMPORTE", "", 'N', false, false}},
                     table.fields, engine::CodePage::Ansi(), rows);
    good = testing_support::ReadFileBytes(path);
    tag_header = Get32(good, 544) * 512u;
    root = Get32(good, tag_header) * 512u;
    // The NOMBRE tree (24-byte items) has interior nodes; follow first children to a leaf.
    ASSERT_NE(Right(root), 0u) << "root should be interior";
    leaf = root;
    for (int depth = 0; Right(leaf) != 0 && depth < 8; ++depth) leaf = Get32(good, leaf + 8) * 512u;
    ASSERT_EQ(Right(leaf), 0u);
    ASSERT_GT(Get32(good, leaf), 2u);
  }

  uint32_t Right(size_t node) const { return Get32(good, node + 8 + 24 * Get32(good, node)); }

  // Opens the damaged bytes and reports what happened: "" when the checker found nothing.
  std::string Outcome(const std::string& bytes) {
    testing_support::WriteFileBytes(path, bytes);
    try {
      auto idx = MdxIndex::Open(path, table.fields, engine::CodePage::Ansi(), false);
      Rows rows(table);
      auto report = idx->Check(rows);
      EXPECT_EQ(testing_support::ReadFileBytes(path), bytes) << "the checker wrote";
      std::string lines;
      for (const auto& l : report.problems) lines += l + "\n";
      for (const auto& l : report.foreign_order) lines += l + "\n";
      return lines;
    } catch (const engine::EngineError& e) {
      return e.what();
    }
  }

  std::string WalkOutcome(const std::string& bytes) {
    testing_support::WriteFileBytes(path, bytes);
    try {
      auto idx = MdxIndex::Open(path, table.fields, engine::CodePage::Ansi(), false);
      WalkAll(*idx, "NOMBRE");
      return "";
    } catch (const engine::EngineError& e) {
      return e.what();
    }
  }

  Table table;
  testing_support::TempDir dir;
  std::string path, good;
  size_t tag_header = 0, root = 0, leaf = 0;
};

TEST_F(MdxCorrupt, GoodIndexPasses) { EXPECT_EQ(Outcome(good), ""); }

TEST_F(MdxCorrupt, BrokenNodesAreFoundByCheckerAndWalker) {
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    const char* checker_says;
  } damages[] = {
      {"child pointer outside the file", [&](std::string& b) { Put32(b, root + 8, 0x00FFFFF0); }, "fuera del fichero"},
      {"key count over capacity", [&](std::string& b) { Put32(b, leaf, 500); }, "dice tener 500 claves"},
      {"loop back to the root", [&](std::string& b) { Put32(b, root + 8, static_cast<uint32_t>(root / 512)); },
       "se alcanza dos veces"},
      {"child pointing into the header", [&](std::string& b) { Put32(b, root + 8, 1); }, "fuera del fichero"},
      {"two parents for one node", [&](std::string& b) { Put32(b, root + 8 + 24, Get32(b, root + 8)); },
       "se alcanza dos veces"},
  };
  for (const Damage& d : damages) {
    std::string bytes = good;
    d.apply(bytes);
    std::string checked = Outcome(bytes);
    EXPECT_NE(checked, "") << d.what;
    EXPECT_NE(checked.find("T.MDX"), std::string::npos) << d.what << ": " << checked;
    EXPECT_NE(checked.find(d.checker_says), std::string::npos) << d.what << ": " << checked;
    if (std::string(d.what) != "two parents for one node") {
      std::string walked = WalkOutcome(bytes);
      EXPECT_NE(walked.find("T.MDX"), std::string::npos) << d.what << ": " << walked;
      EXPECT_NE(walked.find("dañado"), std::string::npos) << d.what << ": " << walked;
    }
  }
}

TEST_F(MdxCorrupt, WrongKeysMissingAndStrayEntriesAreReported) {
  // Two entries swap record numbers: keys stay in order but belong to the other row.
  std::string bytes = good;
  Put32(bytes, leaf + 8, Get32(good, leaf + 32));
  Put32(bytes, leaf + 32, Get32(good, leaf + 8));
  std::string out = Outcome(bytes);
  EXPECT_NE(out.find("NOMBRE"), std::string::npos) << out;
  EXPECT_NE(out.find("no es la de la fila"), std::string::npos) << out;

  bytes = good;
  bytes[leaf + 8 + 4 + 1] = '~';  // a key out of byte order (though where a Western driver puts it)
  out = Outcome(bytes);
  EXPECT_NE(out.find("no es la de la fila"), std::string::npos) << out;
  EXPECT_NE(out.find("orden distinto del de su idioma (binario): sus claves siguen el orden DBWINWE0"),
            std::string::npos)
      << out;

  bytes = good;
  uint32_t n = Get32(good, leaf);
  Put32(bytes, leaf, n - 1);  // the leaf forgets its last entry
  Put32(bytes, leaf + 8 + 24 * (n - 1), 0);
  out = Outcome(bytes);
  EXPECT_NE(out.find("falta"), std::string::npos) << out;

  bytes = good;
  Put32(bytes, leaf + 8, 999999);  // an entry for a row the table does not have
  out = Outcome(bytes);
  EXPECT_NE(out.find("no existe"), std::string::npos) << out;

  bytes = good;
  std::string first = bytes.substr(leaf + 8, 24), second = bytes.substr(leaf + 32, 24);
  bytes.replace(leaf + 8, 24, second);
  bytes.replace(leaf + 32, 24, first);
  if (first.substr(4) != second.substr(4)) {
    out = Outcome(bytes);
    EXPECT_NE(out.find("desordenadas"), std::string::npos) << out;
  }
}

// A unique tag holds each key once, for one of the rows that have it: the check asks that every
// row's key be there, whichever row the entry names.
TEST(MdxCorruptUnique, MissingRepeatedAndStrayKeysAreReported) {
  testing_support::TempDir dir;
  Table table;
  table.fields = {Char("CODIGO", 6)};
  for (int i = 0; i < 1500; ++i) table.Add({"K" + std::to_string(i % 500)});
  const std::string path = dir / "U.MDX";
  {
    Rows rows(table);
    MdxIndex::Create(path, "U", {{"CODIGO", "CODIGO", "", 'C', true, false}}, table.fields,
                     engine::CodePage::Ansi(), rows);
  }
  const std::string good = testing_support::ReadFileBytes(path);
  const size_t item = 12;  // 6-byte key and record number, rounded up to four bytes
  size_t leaf = Get32(good, Get32(good, 544) * 512u) * 512u;
  for (int depth = 0; Get32(good, leaf + 8 + item * Get32(good, leaf)) != 0 && depth < 8; ++depth)
    leaf = Get32(good, leaf + 8) * 512u;
  const size_t e0 = leaf + 8, e1 = e0 + item;
  const uint32_t count = Get32(good, leaf);
  ASSERT_GT(count, 2u);
  struct Damage {
    const char* what;
    std::function<void(std::string&)> apply;
    std::vector<const char*> reported;  // none: the check finds nothing
    const char* not_reported;
  } damages[] = {
      {"none", [](std::string&) {}, {}, nullptr},
      {"an entry names another row with the same key",
       [&](std::string& b) { Put32(b, e0, Get32(good, e0) + 500); }, {}, nullptr},
      {"a key twice", [&](std::string& b) { b.replace(e1 + 4, 6, good.substr(e0 + 4, 6)); },
       {"repite una clave en una etiqueta única", "no es la de la fila", "su clave falta en la etiqueta única"}, nullptr},
      {"the leaf forgets its last entry",
       [&](std::string& b) {
         Put32(b, leaf, count - 1);
         Put32(b, leaf + 8 + item * (count - 1), 0);
       },
       {"su clave falta en la etiqueta única"}, "no es la de la fila"},
      {"an entry names no row", [&](std::string& b) { Put32(b, e0, 999999); },
       {"no existe en la tabla", "su clave falta en la etiqueta única"}, nullptr},
      {"two entries swap rows",
       [&](std::string& b) {
         Put32(b, e0, Get32(good, e1));
         Put32(b, e1, Get32(good, e0));
       },
       {"no es la de la fila"}, "falta"},
  };
  for (const Damage& d : damages) {
    std::string bytes = good;
    d.apply(bytes);
    testing_support::WriteFileBytes(path, bytes);
    auto idx = MdxIndex::Open(path, table.fields, engine::CodePage::Ansi(), false);
    Rows rows(table);
    std::string lines;
    for (const auto& l : idx->Check(rows).problems) lines += l + "\n";
    if (d.reported.empty()) {
      EXPECT_EQ(lines, "") << d.what;
    }
    for (const char* r : d.reported) EXPECT_NE(lines.find(r), std::string::npos) << d.what << ": " << lines;
    if (d.not_reported) {
      EXPECT_EQ(lines.find(d.not_reported), std::string::npos) << d.what << ": " << lines;
    }
  }
}

TEST_F(MdxCorrupt, DamagedHeadersAreRefusedAtOpen) {
  std::vector<std::pair<const char*, std::string>> cases;
  cases.push_back({"truncated", good.substr(0, 1500)});
  std::string b = good;
  Put32(b, 544, 0x7FFFFFFF);
  cases.push_back({"tag header outside", b});
  b = good;
  Put32(b, tag_header, 0x7FFFFFFF);
  cases.push_back({"root outside", b});
  b = good;
  b[tag_header + 12] = 0;
  cases.push_back({"zero key length", b});
  b = good;
  b[tag_header + 9] = 'X';
  cases.push_back({"unknown key type", b});
  b = good;
  b[28] = 60;
  cases.push_back({"too many tags", b});
  b = good;
  b[22] = 0;
  b[23] = 8;
  cases.push_back({"other block size", b});
  for (const auto& [what, bytes] : cases) {
    testing_support::WriteFileBytes(path, bytes);
    try {
      MdxIndex::Open(path, table.fields, engine::CodePage::Ansi(), false);
      ADD_FAILURE() << what << " opened";
    } catch (const engine::EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("T.MDX"), std::string::npos) << what << ": " << e.what();
    }
  }
  // An expression the engine does not know opens, but its tag cannot be used.
  b = good;
  std::memcpy(&b[tag_header + 24], "SOUNDEX(NOMBRE)", 16);
  testing_support::WriteFileBytes(path, b);
  {
    auto idx = MdxIndex::Open(path, table.fields, engine::CodePage::Ansi(), false);
    EXPECT_NE(idx->Tags()[0].problem, "");
    try {
      WalkAll(*idx, idx->Tags()[0].name);
      ADD_FAILURE() << "an unusable tag was walked";
    } catch (const engine::EngineError& e) {
      EXPECT_NE(std::string(e.what()).find("SOUNDEX(NOMBRE)"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("T.MDX"), std::string::npos) << e.what();
    }
  }
  try {
    MdxIndex::Open(dir / "NADA.MDX", table.fields, engine::CodePage::Ansi(), false);
    ADD_FAILURE() << "missing file opened";
  } catch (const engine::EngineError& e) {
    EXPECT_EQ(e.code(), engine::err::kNoSuchFile);
  }
}

TEST_F(MdxCorrupt, RandomDamageNeverCrashesOrWrites) {
  std::mt19937 rng(4242);
  for (int i = 0; i < 300; ++i) {
    std::string bytes = good;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) {
      // Aim at the tag headers and the first nodes, where damage matters most.
      size_t at = rng() % 2 ? rng() % bytes.size() : tag_header + rng() % 4096;
      bytes[at % bytes.size()] = static_cast<char>(rng());
    }
    Outcome(bytes);  // must return or throw EngineError, and never write
    WalkOutcome(bytes);
  }
}

}  // namespace
