// Rows of a Paradox table with secondary indexes changed under injected I/O failures and crashes,
// at every mutating file operation of the change and of the flush that rewrites the indexes:
// after the next open for writing (which rebuilds indexes left behind by the rows), every index
// file is there, walks the rows in its order and checks clean, and a fault in the flush leaves
// the new rows. A table opened read-only meanwhile reports its indexes as not up to date.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <tuple>

#include "engine/error.h"
#include "engine/paradox/paradox.h"
#include "engine/restructure.h"
#include "engine/swap.h"
#include "tests/support/fault_fs.h"
#include "tests/support/paradox_indexes.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

namespace fs = std::filesystem;
using testing_support::FaultInjectionFileSystem;
using testing_support::IndexFileNames;
using testing_support::IndexOrders;
using testing_support::ScopedFileSystem;
using testing_support::TempDir;

struct Row {
  std::string nombre;
  double saldo = 0;
  bool operator==(const Row&) const = default;
};
using Rows = std::map<int64_t, Row>;  // by ID, the primary key

constexpr int kInitial = 150;  // several blocks of the .DB, so that changes split and free them

std::string NameOf(int i) {
  static const char* const kNames[] = {"ana", "Bea", "carlos", "Ana", "beatriz", "Daniel", "zoe", "Zoe"};
  return std::string(kNames[i % 8]) + std::to_string(i % 13);
}

Rows InitialRows() {
  Rows rows;
  for (int i = 0; i < kInitial; ++i) rows[i * 2] = {NameOf(i), (i % 17) * 12.5 - 40};
  return rows;
}

// T.DB keyed on ID with the initial rows and its indexes: NOMBRE (text), SALDO (not maintained),
// the composite SALDO_ID (numbers only), and at level 7 the descending SALDO_DESC.
void MakeTable(const std::string& dir, int level) {
  TableDefinition def;
  def.format = TableFormat::kParadox;
  def.level = level;
  def.key_fields = 1;
  def.fields = {{"ID", bde::fldPDXSHORT, 2}, {"NOMBRE", bde::fldPDXCHAR, 12}, {"SALDO", bde::fldPDXNUM, 8}};
  paradox::Create(dir + "/T.DB", def);
  auto t = paradox::Open(dir + "/T.DB", OpenOptions{});
  for (const auto& [id, r] : InitialRows()) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(id));
    t->SetValue(&buf, 1, Value::Text(r.nombre));
    t->SetValue(&buf, 2, Value::Number(r.saldo));
    t->AppendRecord(buf);
  }
  paradox::IndexDefinition nombre;
  nombre.fields = {1};
  paradox::CreateSecondaryIndex(*t, nombre);
  paradox::IndexDefinition saldo;
  saldo.fields = {2};
  saldo.maintained = false;
  paradox::CreateSecondaryIndex(*t, saldo);
  paradox::IndexDefinition both;
  both.fields = {2, 0};
  both.composite = true;
  both.name = "SALDO_ID";
  paradox::CreateSecondaryIndex(*t, both);
  if (level == 7) {
    paradox::IndexDefinition down;
    down.fields = {2};
    down.composite = true;
    down.descending = true;
    down.name = "SALDO_DESC";
    paradox::CreateSecondaryIndex(*t, down);
  }
}

// What Change does to the rows: odd IDs appended between the others, names and balances edited,
// a key changed, rows deleted (some blocks emptied).
Rows ChangedRows() {
  Rows rows = InitialRows();
  for (int i = 0; i < 40; ++i) rows[i * 4 + 1] = {NameOf(i + 3), i * 3.0};
  for (int64_t id = 10; id < 60; id += 4) rows[id] = {"editado" + std::to_string(id % 9), -static_cast<double>(id)};
  rows[1001] = rows[100];
  rows.erase(100);
  for (int64_t id = 200; id < 260; id += 2) rows.erase(id);
  return rows;
}

int64_t FindRow(TableStorage& t, int64_t id) {
  std::string buf;
  for (uint64_t r = 1; r <= t.RecordCount(); ++r) {
    t.ReadRecord(r, &buf);
    if (t.GetValue(buf, 0).i == id) return static_cast<int64_t>(r);
  }
  ADD_FAILURE() << "no row " << id;
  return 0;
}

void Edit(TableStorage& t, int64_t id, const std::optional<int64_t>& new_id, const std::optional<Row>& values) {
  const auto r = static_cast<uint64_t>(FindRow(t, id));
  std::string old_buf;
  t.ReadRecord(r, &old_buf);
  std::string buf = old_buf;
  if (new_id) t.SetValue(&buf, 0, Value::Integer(*new_id));
  if (values) {
    t.SetValue(&buf, 1, Value::Text(values->nombre));
    t.SetValue(&buf, 2, Value::Number(values->saldo));
  }
  t.UpdateRecord(r, old_buf, buf);
}

// The changes of ChangedRows, then a flush; with `ops`, `before_flush` gets its count of
// mutating operations before the flush.
void Change(const std::string& dir, const FaultInjectionFileSystem* ops = nullptr, uint64_t* before_flush = nullptr) {
  auto t = paradox::Open(dir + "/T.DB", OpenOptions{});
  for (int i = 0; i < 40; ++i) {
    std::string buf = t->BlankRecord();
    t->SetValue(&buf, 0, Value::Integer(i * 4 + 1));
    t->SetValue(&buf, 1, Value::Text(NameOf(i + 3)));
    t->SetValue(&buf, 2, Value::Number(i * 3.0));
    t->AppendRecord(buf);
  }
  for (int64_t id = 10; id < 60; id += 4)
    Edit(*t, id, std::nullopt, Row{"editado" + std::to_string(id % 9), -static_cast<double>(id)});
  Edit(*t, 100, 1001, std::nullopt);
  for (int64_t id = 200; id < 260; id += 2) t->SetDeleted(static_cast<uint64_t>(FindRow(*t, id)), true);
  if (ops && before_flush) *before_flush = ops->mutating_ops();
  t->Flush();
}

Rows ReadRows(const std::string& table) {
  OpenOptions o;
  o.read_only = true;
  auto t = paradox::Open(table, o);
  Rows out;
  std::string buf;
  for (uint64_t r = 1; r <= t->RecordCount(); ++r) {
    t->ReadRecord(r, &buf);
    out[t->GetValue(buf, 0).i] = {t->GetValue(buf, 1).s, t->GetValue(buf, 2).d};
  }
  return out;
}

// The IDs in each index's order, as the rows say it must be (the primary key ends every key).
std::map<std::string, std::vector<int64_t>> OrdersOf(const Rows& rows, int level) {
  std::vector<std::tuple<std::string, double, int64_t>> all;
  for (const auto& [id, r] : rows) all.emplace_back(r.nombre, r.saldo, id);
  auto ids = [&](auto less) {
    auto sorted = all;
    std::sort(sorted.begin(), sorted.end(), less);
    std::vector<int64_t> out;
    for (const auto& e : sorted) out.push_back(std::get<2>(e));
    return out;
  };
  std::map<std::string, std::vector<int64_t>> out;
  out["NOMBRE"] = ids([](const auto& a, const auto& b) {
    return std::tie(std::get<0>(a), std::get<2>(a)) < std::tie(std::get<0>(b), std::get<2>(b));
  });
  out["SALDO"] = ids([](const auto& a, const auto& b) {
    return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
  });
  out["SALDO_ID"] = out["SALDO"];
  if (level == 7) {
    out["SALDO_DESC"] = out["SALDO"];
    std::reverse(out["SALDO_DESC"].begin(), out["SALDO_DESC"].end());
  }
  return out;
}

void CopyFolder(const std::string& from, const std::string& to) {
  for (const auto& e : fs::directory_iterator(from))
    if (e.is_regular_file()) fs::copy(e.path(), to + "/" + e.path().filename().string());
}

TEST(ParadoxIndexCrash, FaultAtEveryStepOfAChangeLeavesIndexesThatMatchTheRows) {
  for (int level : {4, 7}) {
    TempDir seed;
    MakeTable(seed.path(), level);
    const std::set<std::string> index_files = IndexFileNames(seed.path());
    ASSERT_EQ(index_files.size(), level == 7 ? 8u : 6u);
    const Rows old_rows = InitialRows(), new_rows = ChangedRows();
    uint64_t total = 0, before_flush = 0;
    {
      TempDir d;
      CopyFolder(seed.path(), d.path());
      FaultInjectionFileSystem counting;
      {
        ScopedFileSystem use(&counting);
        Change(d.path(), &counting, &before_flush);
      }
      total = counting.mutating_ops();
      ASSERT_EQ(ReadRows(d / "T.DB"), new_rows);
    }
    ASSERT_GT(total, before_flush + 10);
    std::printf("level %d: %llu steps, the last %llu in the flush\n", level, static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(total - before_flush));
    int flush_faults = 0;
    for (int crash = 0; crash < 2; ++crash) {
      for (uint64_t n = 1; n <= total; ++n) {
        // Every step of the flush; of the changes before it, every seventh.
        if (n <= before_flush && n % 7 != 1) continue;
        const std::string when = "level " + std::to_string(level) + (crash ? ", crash" : ", failure") + " at step " +
                                 std::to_string(n) + (n > before_flush ? " (flush)" : "");
        SCOPED_TRACE(when);
        TempDir d;
        CopyFolder(seed.path(), d.path());
        testing_support::RunWithFaultAt(n, crash != 0, [&] { Change(d.path()); });
        const std::string table = d / "T.DB";
        if (crash && !SwapPending(table)) {
          // Before the next open, a reader sees indexes left behind as not up to date, never as true.
          OpenOptions o;
          o.read_only = true;
          auto t = paradox::Open(table, o);
          if (IndexRewriteMarked(table)) {
            EXPECT_FALSE(paradox::CheckSecondaryIndexes(*t).problems.empty());
            for (const auto& tag : t->Tags()) EXPECT_NE(tag.problem, "") << tag.name;
          } else {
            std::vector<std::string> problems;
            EXPECT_EQ(IndexOrders(table, &problems), OrdersOf(ReadRows(table), level));
            EXPECT_TRUE(problems.empty()) << problems.front();
          }
        }
        RecoverTable(table);
        paradox::Open(table, OpenOptions{}).reset();  // an open for writing rebuilds what was left
        EXPECT_FALSE(IndexRewriteMarked(table));
        EXPECT_EQ(IndexFileNames(d.path()), index_files);
        const Rows rows = ReadRows(table);
        if (n == 1) {
          EXPECT_EQ(rows, old_rows);  // the mark, before anything changes
        }
        if (n > before_flush) {
          ++flush_faults;
          EXPECT_EQ(rows, new_rows);
        }
        std::vector<std::string> problems;
        EXPECT_EQ(IndexOrders(table, &problems), OrdersOf(rows, level));
        EXPECT_TRUE(problems.empty()) << problems.front();
        // And the table takes changes again.
        {
          auto t = paradox::Open(table, OpenOptions{});
          std::string buf = t->BlankRecord();
          t->SetValue(&buf, 0, Value::Integer(5000));
          t->SetValue(&buf, 1, Value::Text("nueva"));
          t->SetValue(&buf, 2, Value::Number(7.5));
          t->AppendRecord(buf);
        }
        EXPECT_EQ(ReadRows(table).count(5000), 1u);
        EXPECT_EQ(IndexOrders(table, &problems), OrdersOf(ReadRows(table), level));
        EXPECT_TRUE(problems.empty()) << problems.front();
      }
    }
    EXPECT_EQ(flush_faults, static_cast<int>(2 * (total - before_flush)));
  }
}

}  // namespace
}  // namespace engine
