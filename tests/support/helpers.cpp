#include "tests/support/helpers.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "engine/database.h"
#include "engine/restructure.h"
#include "engine/storage.h"
#include "engine/table.h"

namespace testing_support {

TableHeldByAnotherProcess::TableHeldByAnotherProcess(const std::string& folder, const std::string& table) {
  if (pipe(to_child_) != 0 || pipe(to_parent_) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    char c = 'x';
    int code = 0;
    try {
      engine::TTable t;
      t.SetDatabaseName(folder);
      t.SetTableName(table);
      t.Open();
      c = 'o';
      if (write(to_parent_[1], &c, 1) != 1) code = 2;
      if (read(to_child_[0], &c, 1) != 1) code = 3;
      t.Close();
    } catch (...) {
      code = 1;
      c = 'x';
      if (write(to_parent_[1], &c, 1) != 1) code = 2;
    }
    _exit(code);
  }
  // The parent keeps only its own ends, so that a child that dies is seen as end of file.
  close(to_parent_[1]);
  close(to_child_[0]);
  to_parent_[1] = to_child_[0] = -1;
  char c = 0;
  holding_ = pid_ > 0 && read(to_parent_[0], &c, 1) == 1 && c == 'o';
}

int TableHeldByAnotherProcess::Release() {
  if (pid_ <= 0) return -1;
  char c = 'c';
  if (write(to_child_[1], &c, 1) != 1) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = 0;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TableHeldByAnotherProcess::~TableHeldByAnotherProcess() {
  Release();
  for (int fd : {to_child_[0], to_child_[1], to_parent_[0], to_parent_[1]})
    if (fd >= 0) close(fd);
}

void AddTwoAmounts(const std::string& folder, const std::string& table, bool pack) {
  std::vector<engine::FieldSpec> old;
  {
    auto t = engine::OpenStorage(folder + "/" + table, engine::TableFormat::kDbase, {false, true});
    old = t->Fields();
  }
  std::vector<bde::FLDDesc> f;
  std::vector<bde::CROpType> ops;
  auto rec = [](uint16_t num, const std::string& name, uint16_t type, int u1, int u2) {
    bde::FLDDesc d{};
    d.iFldNum = num;
    std::strncpy(d.szName, name.c_str(), sizeof d.szName - 1);
    d.iFldType = type;
    d.iUnits1 = static_cast<int16_t>(u1);
    d.iUnits2 = static_cast<int16_t>(u2);
    return d;
  };
  for (size_t i = 0; i < old.size(); ++i) {
    f.push_back(rec(static_cast<uint16_t>(i + 1), old[i].name, old[i].type, old[i].size, old[i].decimals));
    ops.push_back(bde::crNOOP);
  }
  f.push_back(rec(0, "SA", bde::fldDBNUM, 12, 2));
  f.push_back(rec(0, "SC", bde::fldDBNUM, 12, 2));
  ops.push_back(bde::crADD);
  ops.push_back(bde::crADD);
  bde::CRTblDesc desc{};
  std::strncpy(desc.szTblName, table.c_str(), sizeof desc.szTblName - 1);
  desc.bPack = pack ? 0xFFFF : 0;
  desc.iFldCount = static_cast<uint16_t>(f.size());
  desc.pfldDesc = f.data();
  desc.pecrFldOp = ops.data();
  engine::DoRestructure(*engine::OpenDatabase(folder), desc);
}

}  // namespace testing_support
