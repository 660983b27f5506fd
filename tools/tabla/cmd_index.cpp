// tabla tags / index / check: the production index (.MDX) of a dBASE table.
#include <cstdio>

#include "engine/dbase/dbase.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/table_check.h"
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

std::string Companion(const std::string& path, const std::string& ext) { return engine::FileBeside(path, ext); }

std::string MdxOf(const std::string& table) {
  std::string mdx = Companion(table, "MDX");
  if (mdx.empty())
    throw engine::EngineError(engine::err::kNoSuchFile, "La tabla no tiene índice de producción (.MDX).",
                              {engine::CtxTable(table)});
  return mdx;
}

}  // namespace

int RunTags(const std::vector<std::string>& args) {
  if (args.size() != 1) {
    std::fprintf(stderr, "Uso: tabla tags FICHERO(.DBF o .MDX)\n");
    return 2;
  }
  // With its table at hand, each tag is shown with the order its keys were found in.
  std::string dbf = IsMdx(args[0]) ? Companion(args[0], "DBF") : args[0];
  std::vector<engine::TagInfo> tags;
  std::vector<engine::dbase::TagOrderInfo> orders;
  if (dbf.empty()) {
    tags = engine::dbase::ReadMdxTags(args[0]);
  } else {
    auto table = OpenForReading(dbf);
    tags = table->Tags();
    if (!tags.empty()) {
      auto idx = engine::dbase::MdxIndex::Open(MdxOf(dbf), table->Fields(), table->Codepage(), false,
                                                table->KeyCollation());
      orders = idx->Orders();
    }
  }
  for (size_t i = 0; i < tags.size(); ++i) {
    const auto& t = tags[i];
    std::printf("%-10s %c %s", t.name.c_str(), t.key_type, t.expression.c_str());
    if (!t.filter.empty()) std::printf("  FOR %s", t.filter.c_str());
    if (t.unique) std::printf("  UNIQUE");
    if (t.descending) std::printf("  DESCENDING");
    if (!t.problem.empty()) std::printf("  [no se puede usar: %s]", t.problem.c_str());
    if (i < orders.size() && !orders[i].collation.empty())
      std::printf("  [orden %s: %s]", orders[i].collation.c_str(),
                  !orders[i].in_order     ? "sus claves están en otro orden"
                  : orders[i].confirmed   ? "confirmado"
                                          : "coincide con el binario, sin confirmar");
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
  const bool finish = args.size() == 2 && args[1] == "--terminar";
  if (args.size() != 1 && !finish) {
    std::fprintf(stderr, "Uso: tabla check FICHERO [--terminar]\n");
    return 2;
  }
  std::string dbf = args[0];
  if (IsMdx(dbf)) {
    dbf = Companion(args[0], "DBF");
    if (dbf.empty())
      throw engine::EngineError(engine::err::kNoSuchTable, "No se encuentra la tabla del índice.",
                                {engine::CtxFile(args[0])});
  }
  // Opening checks the header and that the file holds every record it counts; then every
  // field of every row is read, memos and blobs included, and every index checked.
  if (finish) PrepareForChange(dbf);  // a restructure that a crash interrupted is finished first
  auto table = OpenForReading(dbf);
  const engine::TableCheck check = engine::CheckTable(*table);
  const std::vector<std::string>& problems = check.problems;
  const std::vector<std::string>& foreign = check.unconfirmed;
  const uint64_t count = check.records;
  const size_t tag_count = check.tags;
  for (const auto& p : problems) std::printf("%s\n", p.c_str());
  for (const auto& p : foreign) std::printf("%s\n", p.c_str());
  if (!problems.empty()) return 1;
  if (!foreign.empty()) {
    std::printf("La tabla está sana, pero alguna etiqueta no se ha podido confirmar: está en otro orden que el de su "
                "idioma o su expresión no se sabe calcular. Regenere los índices de la tabla en Tribanor.\n");
    return 3;
  }
  if (table->Format() == engine::TableFormat::kParadox)
    std::printf("Correcto: %zu índices secundarios, %llu registros.\n", tag_count,
                static_cast<unsigned long long>(count));
  else if (tag_count == 0)
    std::printf("Correcto: sin índice de producción, %llu registros.\n", static_cast<unsigned long long>(count));
  else
    std::printf("Correcto: %zu etiquetas, %llu registros.\n", tag_count, static_cast<unsigned long long>(count));
  return 0;
}

}  // namespace tabla
