// A real crash: a child process restructuring a large table with memos and an index is killed with SIGKILL
// at random moments; every time, the engine afterwards opens a complete table, old or new.
// The crash is a child process killed with SIGKILL: fork() and signals are POSIX only.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>

#include "engine/database.h"
#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "tests/support/numbered.h"

namespace engine {
namespace {

using testing_support::TempDir;
namespace fs = std::filesystem;

// The full test in a normal build; a lighter one under the sanitizers, which make every row
// many times slower (the sanitizers look for memory faults, not for the kill moments).
#ifdef ACTUALIZA_SANITIZED
constexpr int kRows = 20000;
constexpr int kRuns = 20;
#else
constexpr int kRows = 100000;
constexpr int kRuns = 50;
#endif

void MakeTable(const std::string& dir) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.FieldDefs().Add("CODIGO", TFieldType::ftString, 8);
  t.FieldDefs().Add("NOMBRE", TFieldType::ftString, 40);
  auto& saldo = t.FieldDefs().AddFieldDef();
  saldo = {"SALDO", TFieldType::ftBCD, 2, 12};
  t.FieldDefs().Add("NOTAS", TFieldType::ftMemo);
  t.IndexDefs().Add("CODIGO", "CODIGO");
  t.IndexDefs().Add("NOMBRE", "UPPER(NOMBRE)");
  t.CreateTable();
  t.Open();
  for (int i = 1; i <= kRows; ++i) {
    t.Append();
    t.SetFieldValue("CODIGO", Value::Text(std::to_string(i)));
    t.SetFieldValue("NOMBRE", Value::Text(testing_support::Numbered("Cliente Núñez ", i)));
    t.SetFieldValue("SALDO", Value::Number(0, std::to_string(i) + ".25"));
    if (i % 10 == 0) t.SetFieldValue("NOTAS", Value::Text(testing_support::Numbered("Memo del cliente ", i)));
    t.Post();
  }
  t.Close();
}

void AddTwoAmounts(const std::string& dir) { testing_support::AddTwoAmounts(dir, "Clientes.Dbf", true); }

// Opens the table as the host application's next start would and checks every row.
// Returns 0 for the old structure, 1 for the new one.
int CheckTable(const std::string& dir) {
  TTable t;
  t.SetDatabaseName(dir);
  t.SetTableName("Clientes.Dbf");
  t.Open();
  EXPECT_EQ(t.RecordCount(), kRows);
  int fields = t.FieldCount();
  int i = 0;
  for (t.First(); !t.Eof(); t.Next()) {
    ++i;
    if (t.FieldByName("CODIGO")->AsString() != std::to_string(i) ||
        t.FieldByName("SALDO")->AsString() != std::to_string(i) + ".25" ||
        (i % 10 == 0 && t.FieldByName("NOTAS")->AsString() != testing_support::Numbered("Memo del cliente ", i))) {
      ADD_FAILURE() << "row " << i << " differs";
      break;
    }
  }
  EXPECT_EQ(i, kRows);
  t.Close();
  auto report = dbase::CheckTableIndexes(dir + "/Clientes.Dbf");
  EXPECT_TRUE(report.ok()) << (report.ok() ? "" : report.problems[0]);
  return fields == 6 ? 1 : 0;
}

TEST(RestructureCrash, KilledAtRandomMomentsTheTableStaysWhole) {
  TempDir seed;
  MakeTable(seed.path());
  auto copy_seed = [&](const std::string& to) {
    fs::create_directories(to);
    for (auto& e : fs::directory_iterator(seed.path())) fs::copy(e.path(), to + "/" + e.path().filename().string());
  };
  // How long one uninterrupted restructure takes here.
  double full_ms;
  {
    TempDir d;
    copy_seed(d.path());
    auto t0 = std::chrono::steady_clock::now();
    AddTwoAmounts(d.path());
    full_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(CheckTable(d.path()), 1);
  }
  // Kill moments spread evenly over the whole restructure (and a little past it), with jitter.
  std::mt19937 rng(20041231);
  std::uniform_real_distribution<double> jitter(0.0, 1.0);
  int olds = 0, news = 0;
  for (int run = 0; run < kRuns; ++run) {
    TempDir d;
    copy_seed(d.path());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        AddTwoAmounts(d.path());
      } catch (...) {
        _exit(3);
      }
      _exit(0);
    }
    double at = full_ms * 1.2 * (run + jitter(rng)) / kRuns;
    usleep(static_cast<useconds_t>(at * 1000));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    int which = CheckTable(d.path());
    (which ? news : olds)++;
    if (HasFailure()) {
      ADD_FAILURE() << "run " << run;
      break;
    }
  }
  // Early kills must leave the old table (timing on a loaded machine decides how many late ones
  // find the restructure finished).
  EXPECT_GT(olds, 0);
  std::printf("restructure of %d rows: %.0f ms; after %d kills: %d old, %d new\n", kRows, full_ms, kRuns, olds, news);
}

}  // namespace
}  // namespace engine
#endif  // _WIN32
