// A restructure of a Paradox table with secondary indexes stopped at every file operation (the
// machine stops there): the next `tabla restructure` finishes the interrupted swap before it reads
// the table and makes its own change, and so does the upgrade's open of the table; every row is
// kept and the indexes check clean.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/swap.h"
#include "engine/table.h"
#include "tests/support/add_amounts.h"
#include "tests/support/fault_fs.h"
#include "tests/support/helpers.h"
#include "tests/support/readers.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::Tabla;

// The values of the first `fields` fields of every row.
std::vector<std::string> Rows(const std::string& path, size_t fields) {
  auto t = engine::OpenStorage(path, engine::TableFormat::kParadox, {false, true});
  std::vector<std::string> out;
  std::string buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    std::string row;
    for (size_t f = 0; f < fields; ++f) row += t->GetValue(buf, static_cast<int>(f)).ToDisplay() + "|";
    out.push_back(row);
  }
  return out;
}

// Adds the long integer D after the table's fields, as `tabla restructure --add D:I:4` does.
void AddD(const std::string& dir) {
  std::vector<engine::FieldSpec> old;
  {
    auto t = engine::OpenStorage(dir + "/C.DB", engine::TableFormat::kParadox, {false, true});
    old = t->Fields();
  }
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  for (size_t i = 0; i < old.size(); ++i) {
    f.push_back(testing_support::FieldRecord(static_cast<uint16_t>(i + 1), old[i].name, old[i].type, old[i].size,
                                             old[i].decimals));
    ops.push_back(bde::crNOOP);
  }
  f.push_back(testing_support::FieldRecord(0, "D", bde::fldPDXLONG, 4));
  ops.push_back(bde::crADD);
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, "C.DB", sizeof desc.szTblName - 1);
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  engine::DoRestructure(*engine::OpenDatabase(dir), desc);
}

TEST(ParadoxRestructureKill, TheNextRestructureAndTheUpgradesOpenFinishAnInterruptedOne) {
  if (testing_support::SamplesDir().empty()) GTEST_SKIP() << "no sample folder";
  if (!testing_support::FileExists(Tabla())) GTEST_SKIP() << "tabla not built";
  const std::string joins = testing_support::SamplesDir() + "/paradox-paradoxdriver/joins/";
  testing_support::TempDir seed;
  for (const char* f : {"C.DB", "C.PX", "C.X02", "C.Y02", "C.X03", "C.Y03"})
    testing_support::CopyFile(joins + f, seed / f);
  const size_t fields = engine::OpenStorage(seed / "C.DB", engine::TableFormat::kParadox, {false, true})->Fields().size();
  const std::vector<std::string> rows = Rows(seed / "C.DB", fields);
  uint64_t total = 0;
  {
    testing_support::TempDir d;
    fs::copy(seed.path(), d.path(), fs::copy_options::recursive);
    testing_support::FaultInjectionFileSystem counting;
    testing_support::ScopedFileSystem use(&counting);
    AddD(d.path());
    total = counting.mutating_ops();
  }
  ASSERT_GT(total, 20u);
  int pending = 0;
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("stopped at operation " + std::to_string(n));
    testing_support::TempDir d, upgrade;
    fs::copy(seed.path(), d.path(), fs::copy_options::recursive);
    testing_support::RunWithFaultAt(n, true, [&] { AddD(d.path()); });
    const bool left = engine::SwapPending(d / "C.DB");
    pending += left;
    fs::copy(d.path(), upgrade.path(), fs::copy_options::recursive);
    if (left) {
      // A reader is told that the change was interrupted, and `tabla check --terminar` finishes it.
      testing_support::TempDir checked;
      fs::copy(d.path(), checked.path(), fs::copy_options::recursive);
      auto read = RunCommand(Tabla() + " check " + ShellQuote(checked / "C.DB") + " 2>&1");
      EXPECT_EQ(read.status, 1) << read.out;
      EXPECT_NE(read.out.find("se interrumpió antes de terminar"), std::string::npos) << read.out;
      auto finish = RunCommand(Tabla() + " check " + ShellQuote(checked / "C.DB") + " --terminar 2>&1");
      EXPECT_EQ(finish.status, 0) << finish.out;
      EXPECT_EQ(Rows(checked / "C.DB", fields), rows);
    }

    auto r = RunCommand(Tabla() + " restructure " + ShellQuote(d / "C.DB") + " --add E:I:4 2>&1");
    EXPECT_EQ(r.status, 0) << r.out;
    // The upgrade opens the table for writing, alone.
    testing_support::OpenTable(upgrade.path(), "C.DB", true).reset();
    for (const std::string& dir : {d.path(), upgrade.path()}) {
      EXPECT_FALSE(engine::SwapPending(dir + "/C.DB")) << dir;
      EXPECT_EQ(Rows(dir + "/C.DB", fields), rows) << dir;
      auto check = RunCommand(Tabla() + " check " + ShellQuote(dir + "/C.DB") + " 2>&1");
      EXPECT_EQ(check.status, 0) << check.out;
    }
    auto now = engine::OpenStorage(d / "C.DB", engine::TableFormat::kParadox, {false, true});
    EXPECT_EQ(now->Fields().back().name, "E");
    if (HasFailure()) break;
  }
  // Stops after the journal is written leave a swap to finish.
  EXPECT_GT(pending, 0);
  std::printf("%llu operations; %d stops left the swap to finish\n", static_cast<unsigned long long>(total), pending);
}

}  // namespace
