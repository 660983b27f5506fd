// tabla tags / index / check: the production index (.MDX) of a dBASE table.
#include <cstdio>

#include "engine/dbase/mdx.h"
#include "engine/dbase/storage_rows.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "tools/tabla/commands.h"

namespace tabla {

namespace {

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool IsMdx(const std::string& path) {
  std::string base = Upper(engine::BaseName(path));
  return base.size() > 4 && base.substr(base.size() - 4) == ".MDX";
}

// The file beside `path` with the same base name and extension `ext`, in any letter case.
std::string Companion(const std::string& path, const std::string& ext) {
  std::string dir = engine::DirName(path);
  std::string base = engine::BaseName(path);
  if (auto dot = base.find_last_of('.'); dot != std::string::npos) base.resize(dot);
  std::string want = Upper(base + "." + ext);
  for (const auto& e : engine::CurrentFileSystem()->List(dir.empty() ? "." : dir))
    if (!e.is_dir && Upper(e.name) == want) return dir.empty() ? e.name : engine::JoinPath(dir, e.name);
  return "";
}

std::string MdxOf(const std::string& table) {
  std::string mdx = Companion(table, "MDX");
  if (mdx.empty())
    throw engine::EngineError(engine::err::kNoSuchFile, "La tabla no tiene índice de producción (.MDX).",
                              {engine::CtxTable(table)});
  return mdx;
}

using engine::dbase::StorageRows;

}  // namespace

int RunTags(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla tags FICHERO(.DBF o .MDX)\n");
    return 2;
  }
  std::vector<engine::TagInfo> tags;
  if (IsMdx(args[0])) {
    tags = engine::dbase::ReadMdxTags(args[0]);
  } else {
    tags = OpenForReading(args[0])->Tags();
  }
  for (const auto& t : tags) {
    std::printf("%-10s %c %s", t.name.c_str(), t.key_type, t.expression.c_str());
    if (!t.filter.empty()) std::printf("  FOR %s", t.filter.c_str());
    if (t.unique) std::printf("  UNIQUE");
    if (t.descending) std::printf("  DESCENDING");
    std::printf("\n");
  }
  return 0;
}

int RunIndex(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "Uso: tabla index FICHERO ETIQUETA\n");
    return 2;
  }
  std::string mdx = args[0];
  const engine::CodePage* cp = &engine::CodePage::Ansi();
  std::unique_ptr<engine::TableStorage> table;
  if (!IsMdx(args[0])) {
    table = OpenForReading(args[0]);
    cp = &table->Codepage();
    mdx = MdxOf(args[0]);
  } else if (std::string dbf = Companion(args[0], "DBF"); !dbf.empty()) {
    table = OpenForReading(dbf);
    cp = &table->Codepage();
  }
  engine::dbase::DumpMdxTag(mdx, args[1], *cp, [](const std::string& key, uint64_t recno) {
    std::printf("%s %llu\n", key.c_str(), static_cast<unsigned long long>(recno));
  });
  return 0;
}

int RunCheck(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla check FICHERO.DBF\n");
    return 2;
  }
  std::string dbf = args[0];
  if (IsMdx(dbf)) {
    dbf = Companion(args[0], "DBF");
    if (dbf.empty())
      throw engine::EngineError(engine::err::kNoSuchTable, "No se encuentra la tabla del índice.",
                                {engine::CtxFile(args[0])});
  }
  auto table = OpenForReading(dbf);
  std::string mdx = MdxOf(dbf);
  auto idx = engine::dbase::MdxIndex::Open(mdx, table->Fields(), table->Codepage(), false);
  StorageRows rows(*table);
  auto report = idx->Check(rows);
  for (const auto& p : report.problems) std::printf("%s\n", p.c_str());
  if (report.ok()) {
    std::printf("Correcto: %zu etiquetas, %llu registros.\n", idx->Tags().size(),
                static_cast<unsigned long long>(rows.Count()));
    return 0;
  }
  return 1;
}

}  // namespace tabla
