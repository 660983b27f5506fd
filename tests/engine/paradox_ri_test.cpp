// Referential-integrity links in the .VAL files of the joins/ samples (written by Paradox 5):
// read with their fields, parent and update rule; damage reported; and a restructure that would
// lose them refused, naming the link when it drops or retypes one of its fields.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "engine/database.h"
#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"
#include "engine/paradox/px_file.h"
#include "tests/support/add_amounts.h"
#include "tests/support/paradox_indexes.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

namespace ts = testing_support;
using ts::FieldRecord;
using ts::ReadFileBytes;

#define REQUIRE_SAMPLES() \
  if (ts::SamplesDir().empty()) GTEST_SKIP() << testing_support::NoSamples()

std::string Joins(const std::string& f) { return ts::SamplesDir() + "/paradox-paradoxdriver/joins/" + f; }

paradox::RiLinks LinksOf(const std::string& path) {
  OpenOptions o;
  o.read_only = true;
  auto t = paradox::Open(path, o);
  return paradox::ReferentialIntegrityOf(*t);
}

TEST(ParadoxReferentialIntegrity, LinksOfTheSamplesAreRead) {
  REQUIRE_SAMPLES();
  auto fk1 = LinksOf(Joins("fk1.db"));
  ASSERT_EQ(fk1.links.size(), 1u);
  EXPECT_EQ(fk1.links[0].name, "reference");
  EXPECT_EQ(fk1.links[0].parent, "primary.db");
  EXPECT_TRUE(fk1.links[0].cascade);
  EXPECT_EQ(fk1.links[0].fields, std::vector<int>{1});
  EXPECT_EQ(fk1.links[0].parent_fields, std::vector<int>{1});
  EXPECT_FALSE(fk1.dependents);

  auto c = LinksOf(Joins("C.DB"));
  ASSERT_EQ(c.links.size(), 2u);
  EXPECT_EQ(c.links[0].name, "Reference A");
  EXPECT_EQ(c.links[0].parent, "A.db");
  EXPECT_EQ(c.links[0].fields, std::vector<int>{1});
  EXPECT_EQ(c.links[1].parent, "B.db");
  EXPECT_EQ(c.links[1].fields, std::vector<int>{2});

  auto parent = LinksOf(Joins("primary.db"));
  EXPECT_TRUE(parent.links.empty());
  EXPECT_TRUE(parent.dependents);
  // A table without a .VAL has no links.
  EXPECT_TRUE(LinksOf(ts::SamplesDir() + "/paradox-paradoxdriver/fields/long.db").links.empty());
}

TEST(ParadoxReferentialIntegrity, DamagedLinksAreReportedNamingTheVal) {
  REQUIRE_SAMPLES();
  for (int variant = 0; variant < 3; ++variant) {
    ts::TempDir d;
    for (const char* f : {"fk1.db", "fk1.px", "fk1.val"}) ts::CopyFile(Joins(f), d / f);
    std::string val = ReadFileBytes(d / "fk1.val");
    if (variant == 0) val[0x35] = 9;                         // nine links do not fit before the footer
    if (variant == 1) val[0x37 + 0x1A0] = 7;                 // field 7 of a two-field table
    if (variant == 2) val[0x37 + 0x19A] = 5;                 // no such update rule
    ts::WriteFileBytes(d / "fk1.val", val);
    try {
      LinksOf(d / "fk1.db");
      ADD_FAILURE() << "variant " << variant << " read";
    } catch (const EngineError& e) {
      EXPECT_EQ(e.code(), err::kFileCorrupt) << variant;
      EXPECT_NE(std::string(e.what()).find("fk1.val"), std::string::npos) << e.what();
    }
  }
}

TEST(ParadoxReferentialIntegrity, RestructuresThatWouldLoseALinkAreRefusedWithNothingChanged) {
  REQUIRE_SAMPLES();
  struct Case {
    const char* what;
    std::vector<bde::FLDDesc> fields;
    std::vector<bde::CROpType> ops;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"the linked field dropped", {FieldRecord(1, "ID", bde::fldPDXAUTOINC, 4)}, {bde::crNOOP}, "«reference»"},
      {"the linked field retyped",
       {FieldRecord(1, "ID", bde::fldPDXAUTOINC, 4), FieldRecord(2, "FK", bde::fldPDXNUM, 8)},
       {bde::crNOOP, bde::crMODIFY}, "«reference»"},
      {"a field added before the linked one",
       {FieldRecord(1, "ID", bde::fldPDXAUTOINC, 4), FieldRecord(0, "NOTA", bde::fldPDXCHAR, 10),
        FieldRecord(2, "FK", bde::fldPDXLONG, 4)},
       {bde::crNOOP, bde::crADD, bde::crNOOP}, "«reference»"},
      {"the linked field renamed",
       {FieldRecord(1, "ID", bde::fldPDXAUTOINC, 4), FieldRecord(2, "CLAVE", bde::fldPDXLONG, 4)},
       {bde::crNOOP, bde::crMODIFY}, "«reference»"},
  };
  for (const Case& c : cases) {
    ts::TempDir d;
    for (const char* f : {"fk1.db", "fk1.px", "fk1.val", "fk1.x02", "fk1.y02", "primary.db", "primary.px", "primary.val"})
      ts::CopyFile(Joins(f), d / f);
    const std::map<std::string, std::string> before = ts::Snapshot(d.path());
    bde::CRTblDesc desc{};
    std::strcpy(desc.szTblName, "fk1.db");
    auto fields = c.fields;
    auto ops = c.ops;
    desc.iFldCount = static_cast<uint16_t>(fields.size());
    desc.pfldDesc = fields.data();
    desc.pecrFldOp = ops.data();
    try {
      DoRestructure(*OpenDatabase(d.path()), desc);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const EngineError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.what << ": " << e.what();
    }
    EXPECT_TRUE(ts::Snapshot(d.path()) == before) << c.what;
  }
}

// A child that keeps its linked fields where they are keeps its links (and its checks and
// secondary indexes), byte for byte, with its parents untouched; a parent's key keeps its type.
TEST(ParadoxReferentialIntegrity, AChildKeepingItsLinkedFieldsKeepsItsLinks) {
  REQUIRE_SAMPLES();
  ts::TempDir d;
  for (const char* f : {"C.DB", "C.PX", "C.VAL", "C.X02", "C.Y02", "C.X03", "C.Y03", "A.db", "A.PX", "A.VAL", "B.db",
                        "B.PX", "B.VAL"})
    ts::CopyFile(Joins(f), d / f);
  const auto before = ts::Snapshot(d.path());
  std::vector<bde::VCHKDesc> checks;
  {
    OpenOptions o;
    o.read_only = true;
    checks = paradox::Open(d / "C.DB", o)->ValChecks();
  }
  ts::RestructureWith(d.path(), "C.DB",
                      {FieldRecord(1, "C", bde::fldPDXLONG, 4), FieldRecord(2, "A", bde::fldPDXLONG, 4),
                       FieldRecord(3, "B", bde::fldPDXLONG, 4), FieldRecord(0, "NOTA", bde::fldPDXCHAR, 10)},
                      {bde::crNOOP, bde::crNOOP, bde::crNOOP, bde::crADD});
  const auto after = ts::Snapshot(d.path());
  for (const char* parent : {"A.db", "A.PX", "A.VAL", "B.db", "B.PX", "B.VAL"})
    EXPECT_EQ(after.at(parent), before.at(parent)) << parent;
  EXPECT_EQ(paradox::RiSection(after.at("C.VAL")), paradox::RiSection(before.at("C.VAL")));
  auto links = LinksOf(d / "C.DB");
  ASSERT_EQ(links.links.size(), 2u);
  EXPECT_EQ(links.links[0].name, "Reference A");
  EXPECT_EQ(links.links[1].parent, "B.db");
  EXPECT_EQ(links.links[1].fields, std::vector<int>{2});
  OpenOptions o;
  o.read_only = true;
  auto c = paradox::Open(d / "C.DB", o);
  EXPECT_EQ(c->Fields().size(), 4u);
  EXPECT_EQ(c->ValChecks().size(), checks.size());
  EXPECT_EQ(c->Tags().size(), 2u);
  EXPECT_TRUE(paradox::CheckSecondaryIndexes(*c).problems.empty());
  c.reset();

  // A parent (other tables' links are recorded in its .VAL) whose key field would shrink is
  // refused, naming the dependent table and its link, changing nothing.
  const auto parents = ts::Snapshot(d.path());
  try {
    ts::RestructureWith(d.path(), "A.db",
                        {FieldRecord(1, "A", bde::fldPDXSHORT, 2), FieldRecord(0, "NOTA", bde::fldPDXCHAR, 10)},
                        {bde::crMODIFY, bde::crADD});
    ADD_FAILURE() << "a parent's key shrunk";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("C.DB («Reference A», campo A)"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(ts::Snapshot(d.path()) == parents);
}

}  // namespace
}  // namespace engine
