#include <gtest/gtest.h>

#include "engine/dbase/expr.h"
#include "engine/error.h"
#include "tests/engine/mdx_test_rows.h"

namespace {

using engine::dbase::Expression;
using engine::dbase::ExprValue;
using namespace mdx_test;

class ExprTest : public ::testing::Test {
 protected:
  ExprTest() {
    t.fields = {Char("NOMBRE", 10), Num("IMPORTE", 10, 2), Date("FECHA"), Bool("ACTIVO"), Char("CIUDAD", 6)};
    // The table's bytes are code page 1252.
    auto enc = [](std::vector<std::string> v) {
      for (auto& s : v) s = *engine::CodePage::Ansi().Encode(s);
      return v;
    };
    t.Add(enc({"García", "-12.50", "20240305", "T", "Lugo"}));
    t.Add(enc({"  ana", "7", "", "F", "Ávila"}), /*del=*/true);
  }
  std::unique_ptr<Expression> Parse(const std::string& utf8) {
    return Expression::Parse(*engine::CodePage::Ansi().Encode(utf8), t.fields, engine::CodePage::Ansi());
  }
  ExprValue Eval(const std::string& utf8, uint64_t recno = 1) {
    RowView row(&t, recno, t.rows[recno - 1], t.deleted[recno - 1]);
    return Parse(utf8)->Eval(row);
  }
  std::string Text(const std::string& utf8, uint64_t recno = 1) {
    return engine::CodePage::Ansi().Decode(Eval(utf8, recno).text);
  }
  Table t;
};

TEST_F(ExprTest, CharacterFunctionsAndWidths) {
  EXPECT_EQ(Text("NOMBRE"), "García    ");
  EXPECT_EQ(Text("UPPER(NOMBRE)"), "GARCÍA    ");
  EXPECT_EQ(Text("upper(ciudad)", 2), "ÁVILA ");
  EXPECT_EQ(Text("LOWER(NOMBRE)"), "garcía    ");
  EXPECT_EQ(Text("TRIM(NOMBRE)+CIUDAD"), "GarcíaLugo      ");
  EXPECT_EQ(Parse("TRIM(NOMBRE)+CIUDAD")->width(), 16);
  EXPECT_EQ(Text("NOMBRE-CIUDAD"), "GarcíaLugo      ");
  EXPECT_EQ(Text("LTRIM(NOMBRE)", 2), "ana       ");
  EXPECT_EQ(Text("ALLTRIM(NOMBRE)+'|'", 2), "ana|       ");
  EXPECT_EQ(Text("SUBSTR(NOMBRE,2,3)"), "arc");
  EXPECT_EQ(Parse("SUBSTR(NOMBRE,4)")->width(), 7);
  EXPECT_EQ(Text("LEFT(NOMBRE,2)+RIGHT(CIUDAD,3)"), "Gao  ");
  EXPECT_EQ(Text("SUBS(NOMBRE,1,1)"), "G");  // four-letter abbreviation
  EXPECT_EQ(Text("STR(IMPORTE,8,2)"), "  -12.50");
  EXPECT_EQ(Text("STR(IMPORTE)"), "       -13");  // halves round away from zero
  EXPECT_EQ(Text("STR(IMPORTE,2)"), "**");
  EXPECT_EQ(Text("DTOS(FECHA)"), "20240305");
  EXPECT_EQ(Text("DTOS(FECHA)", 2), "        ");
  EXPECT_EQ(Text("DTOC(FECHA)"), "03/05/24");
  EXPECT_EQ(Text("IIF(ACTIVO, 'SI', \"NO\")", 2), "NO");
  EXPECT_EQ(Text("[a]+CIUDAD"), "aLugo  ");
}

TEST_F(ExprTest, NumbersDatesAndLogic) {
  EXPECT_EQ(Eval("IMPORTE").type, 'N');
  EXPECT_EQ(Eval("IMPORTE").text, "-12.5");
  EXPECT_DOUBLE_EQ(Eval("IMPORTE * 2 + 1").number, -24.0);
  EXPECT_DOUBLE_EQ(Eval("-IMPORTE / 5").number, 2.5);
  EXPECT_DOUBLE_EQ(Eval("VAL('  42.5xyz')").number, 42.5);
  EXPECT_DOUBLE_EQ(Eval("RECNO()", 2).number, 2);
  EXPECT_EQ(Eval("FECHA + 30").day, engine::DayFromCivil(2024, 4, 4));
  EXPECT_DOUBLE_EQ(Eval("FECHA - {03/01/2024}").number, 4);
  EXPECT_TRUE(Eval("DELETED()", 2).logical);
  EXPECT_FALSE(Eval(".NOT. DELETED() .AND. !ACTIVO").logical);
  EXPECT_TRUE(Eval("IMPORTE < 0 .OR. .F.").logical);
  EXPECT_TRUE(Eval("NOMBRE = 'Gar'").logical);       // inexact: left begins with right
  EXPECT_FALSE(Eval("NOMBRE == 'Gar'").logical);
  EXPECT_TRUE(Eval("'arc' $ NOMBRE").logical);
  EXPECT_TRUE(Eval("NOMBRE <> 'X' .AND. NOMBRE # 'Y' .AND. CIUDAD >= 'Lugo'").logical);
  EXPECT_TRUE(Eval("FECHA > {01/01/2024} .AND. ACTIVO = .T.").logical);
}

TEST_F(ExprTest, UnknownOrIllTypedExpressionsFailAtParse) {
  for (const char* bad : {"FOO", "SOUNDEX(NOMBRE)", "NOMBRE +", "UPPER(IMPORTE)", "NOMBRE + IMPORTE",
                          "SUBSTR(NOMBRE, IMPORTE, 2) + LEFT(NOMBRE, IMPORTE)", "'abc", "NOMBRE .XOR. NOMBRE",
                          "IIF(ACTIVO, 1, 'a')", "ACTIVO < .T.", "", "(NOMBRE", "NOMBRE)", "{13/45/2020}",
                          "STR(IMPORTE, 400)", "UPP(NOMBRE)", "DELETED(1)", "FECHA + FECHA"}) {
    try {
      Parse(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kInvalidExpression) << bad;
      EXPECT_NE(std::string(e.what()).find("no es válida"), std::string::npos) << e.what();
    }
  }
}

TEST(XbaseStr, RoundsAndOverflows) {
  EXPECT_EQ(engine::dbase::XbaseStr(3.14159, 6, 2), "  3.14");
  EXPECT_EQ(engine::dbase::XbaseStr(-5, 3, 0), " -5");
  EXPECT_EQ(engine::dbase::XbaseStr(123456, 5, 0), "*****");
}

}  // namespace
