#include "engine/path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "engine/database.h"
#include "engine/error.h"
#include "tests/support/temp_dir.h"

namespace engine {
namespace {

using testing_support::TempDir;
using testing_support::WriteFileBytes;

TEST(Path, FolderNamesAndSeparators) {
  EXPECT_TRUE(IsFolderName("C:\\Tribanor\\General"));
  EXPECT_TRUE(IsFolderName("/home/u/General"));
  EXPECT_TRUE(IsFolderName("C:"));
  EXPECT_FALSE(IsFolderName("DBDEMOS"));
  EXPECT_EQ(NormalizeSeparators("\\\\srv\\datos\\\\Empresas\\"), "//srv/datos/Empresas");
  EXPECT_EQ(UpperExtension("Clientes.Dbf"), "DBF");
  EXPECT_EQ(UpperExtension("Existencias"), "");
  EXPECT_EQ(ReplaceExtension("/a.b/Clientes.Dbf", "MDX"), "/a.b/Clientes.MDX");
}

// A network folder's two leading separators name a server; folding them into one would name a
// folder of the root instead.
TEST(Path, NetworkFoldersKeepTheirServer) {
  EXPECT_EQ(NormalizeSeparators("\\\\srv\\datos"), "//srv/datos");
  EXPECT_EQ(NormalizeSeparators("\\\\srv\\datos\\"), "//srv/datos");
  EXPECT_EQ(NormalizeSeparators("//srv/datos//Tribanor/General/"), "//srv/datos/Tribanor/General");
  EXPECT_EQ(NormalizeSeparators("\\\\srv\\\\datos\\Clientes.dbf"), "//srv/datos/Clientes.dbf");
  EXPECT_EQ(NormalizeSeparators("\\/srv/datos\\Clientes.dbf"), "//srv/datos/Clientes.dbf");
  // Without a share there is no network folder: the separators fold as anywhere else.
  EXPECT_EQ(NormalizeSeparators("\\\\srv\\"), "/srv");
  EXPECT_EQ(NormalizeSeparators("\\\\\\srv\\datos"), "/srv/datos");
  EXPECT_EQ(NormalizeSeparators("\\Tribanor\\\\General"), "/Tribanor/General");
  EXPECT_EQ(NormalizeSeparators("C:\\Tribanor\\General\\"), "C:/Tribanor/General");
}

// Installations copied from Windows spell folders and files in any letter case, and may hold
// accented folder names in UTF-8 or in the original Windows bytes.
TEST(Path, MatchesEveryComponentWithoutRegardToCase) {
  TempDir d;
  testing_support::MakeFolders(d / "EMPRESAS/Compañía Ñandú/EJERCICIO2004");
  WriteFileBytes(d / "EMPRESAS/Compañía Ñandú/EJERCICIO2004/CLIENTES.DBF", "x");
  auto p = ResolveExisting(d.path() + "\\Empresas\\COMPAÑÍA ñandú\\Ejercicio2004\\Clientes.Dbf");
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(*p, d / "EMPRESAS/Compañía Ñandú/EJERCICIO2004/CLIENTES.DBF");
  EXPECT_FALSE(ResolveExisting(d / "Empresas/Otra/Ejercicio2004").has_value());

#ifndef _WIN32
  // A folder stored with its Windows 1252 bytes ("Peñón" as 0xF1, 0xF3), as a copy made from
  // Windows may hold it here. (Windows itself stores names in UTF-16 and has no such bytes.)
  std::filesystem::create_directories(d.path() + "/Pe\xF1\xF3n");
  auto q = ResolveExisting(d / "PEÑÓN");
  ASSERT_TRUE(q.has_value());
  EXPECT_EQ(*q, d.path() + "/Pe\xF1\xF3n");
#endif

  // For creating, a missing last component keeps its spelling; a present one is matched.
  EXPECT_EQ(*ResolveForCreate(d / "empresas/Nueva.dbf"), d / "EMPRESAS/Nueva.dbf");
  EXPECT_EQ(*ResolveForCreate(d / "empresas/compañía ñandú/ejercicio2004/clientes.dbf"),
            d / "EMPRESAS/Compañía Ñandú/EJERCICIO2004/CLIENTES.DBF");
}

// Windows drops the trailing dots and blanks of a name: the folder of a company "Foo S.L.." is
// "Foo S.L" there, and so it is on a copy of that installation.
TEST(Path, NamesAreFoundAsWindowsStoresThem) {
  EXPECT_EQ(WindowsComponent("Foo S.L.."), "Foo S.L");
  EXPECT_EQ(WindowsComponent("Ejercicio  "), "Ejercicio");
  EXPECT_EQ(WindowsComponent("  Espacios"), "  Espacios");
  EXPECT_EQ(WindowsComponent(". ."), "");
  TempDir d;
  std::filesystem::create_directories(d / "EMPRESAS/Foo S.L/Ejercicio");
  WriteFileBytes(d / "EMPRESAS/Foo S.L/Ejercicio/CLIENTES.DBF", "x");
  EXPECT_EQ(*ResolveExisting(d.path() + "\\Empresas\\foo s.l..\\Ejercicio \\Clientes.Dbf"),
            d / "EMPRESAS/Foo S.L/Ejercicio/CLIENTES.DBF");
#ifdef _WIN32
  // Windows finds a name with trailing dots as the name without them.
  EXPECT_EQ(*ResolveExisting(d / "Empresas/Foo S.L.."), d / "EMPRESAS/Foo S.L");
#else
  // A name that exists as it stands is taken as it stands (Windows cannot make one such).
  std::filesystem::create_directories(d / "EMPRESAS/Foo S.L..");
  EXPECT_EQ(*ResolveExisting(d / "Empresas/Foo S.L.."), d / "EMPRESAS/Foo S.L..");
#endif
  // A file to be made gets the name Windows would give it.
  EXPECT_EQ(*ResolveForCreate(d / "empresas/foo s.l/Nueva.dbf. "), d / "EMPRESAS/Foo S.L/Nueva.dbf");
  EXPECT_FALSE(ResolveExisting(d / "Empresas/Foo S.L./Otro").has_value());
}

// The spelling a path that exists as written resolves to, asked about before it is resolved.
TEST(Path, APathAsWrittenIsItsOwnSpellingWhereCaseCounts) {
  struct Case {
    const char* path;
    std::optional<std::string> posix;  // elsewhere (Windows) always nullopt
  };
  const Case cases[] = {
      {"C:\\Tribanor\\General\\", "C:/Tribanor/General"},
      {"\\\\srv\\datos\\Clientes.dbf", "//srv/datos/Clientes.dbf"},
      {"/datos//Empresas/Ejercicio2004", "/datos/Empresas/Ejercicio2004"},
      {"/", "/"},
      {"/datos/./Empresas", std::nullopt},
      {"../datos", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
#ifdef _WIN32
    EXPECT_EQ(AsWritten(c.path), std::nullopt) << c.path;
#else
    EXPECT_EQ(AsWritten(c.path), c.posix) << c.path;
#endif
  }
#ifndef _WIN32
  // Where it is answered, it is what resolving gives for a path that exists.
  TempDir d;
  testing_support::MakeFolders(d / "Empresas/Ejercicio2004");
  const std::string written = d.path() + "//Empresas\\Ejercicio2004\\";
  EXPECT_EQ(AsWritten(written), ResolveExisting(written));
#endif
}

TEST(Database, FolderMustExistAndHandlesOutliveTables) {
  TempDir d;
  std::filesystem::create_directories(d / "General");
  Database* a = OpenDatabase(d.path() + "\\GENERAL");
  Database* b = OpenDatabase(d / "general");
  EXPECT_EQ(a, b);
  EXPECT_TRUE(IsLiveDatabase(a));
  EXPECT_EQ(a->Directory(), d / "General");
  try {
    OpenDatabase(d / "NoExiste");
    FAIL();
  } catch (const EngineError& e) {
    EXPECT_EQ(e.code(), err::kNoSuchFolder);
    EXPECT_NE(std::string(e.what()).find("NoExiste"), std::string::npos);
  }
  WriteFileBytes(d / "General/EMPRESAS.DBF", "x");
  EXPECT_TRUE(a->TableExists("Empresas.DBF", TableFormat::kDbase));
  EXPECT_FALSE(a->TableExists("Ejercici.DBF", TableFormat::kDbase));
  EXPECT_EQ(a->TablePath("empresas", TableFormat::kDbase), d / "General/EMPRESAS.DBF");
}

TEST(Database, FormatFollowsTheExtensionAndCompanions) {
  TempDir d;
  WriteFileBytes(d / "a.dbf", "x");
  WriteFileBytes(d / "b.DBF", "x");
  WriteFileBytes(d / "B.cdx", "x");
  WriteFileBytes(d / "e.dbf", "x");
  WriteFileBytes(d / "e.FPT", "x");
  // A folder named in another case than its own: the companion is still found in it.
  std::filesystem::create_directories(d / "Sub");
  WriteFileBytes(d / "Sub/f.dbf", "x");
  WriteFileBytes(d / "Sub/F.Fpt", "x");
  EXPECT_EQ(FormatFor(d / "a.dbf", TableTypeHint::kDefault), TableFormat::kDbase);
  EXPECT_EQ(FormatFor(d / "b.DBF", TableTypeHint::kDefault), TableFormat::kFoxPro);
  EXPECT_EQ(FormatFor(d / "e.dbf", TableTypeHint::kDefault), TableFormat::kFoxPro);
  EXPECT_EQ(FormatFor(d / "SUB/f.dbf", TableTypeHint::kDefault), TableFormat::kFoxPro);
  EXPECT_EQ(FormatFor(d / "SUB/a.dbf", TableTypeHint::kDefault), TableFormat::kDbase);
  EXPECT_EQ(FormatFor(d / "b.DBF", TableTypeHint::kDBase), TableFormat::kDbase);
  EXPECT_EQ(FormatFor(d / "c.db", TableTypeHint::kDefault), TableFormat::kParadox);
}

}  // namespace
}  // namespace engine
