// The expression language of index keys and FOR clauses: each operator and function against
// the values dBASE gives, keys of tags built from them, and keys that real index files store.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/dbase/expr.h"
#include "engine/dbase/mdx.h"
#include "engine/error.h"
#include "engine/value.h"
#include "tests/engine/mdx_test_rows.h"
#include "tests/support/temp_dir.h"

namespace {

using engine::dbase::Expression;
using engine::dbase::ExprValue;
using namespace mdx_test;

const engine::CodePage& Ansi() { return engine::CodePage::Ansi(); }

class ExprFunctions : public ::testing::Test {
 protected:
  ExprFunctions() {
    t.fields = {Char("NOMBRE", 10), Num("IMPORTE", 10, 2), Date("FECHA"), Bool("ACTIVO"),
                Char("CIUDAD", 6),  Num("PRECIO", 8, 3),   Num("DIAS", 4)};
    auto enc = [](std::vector<std::string> v) {
      for (auto& s : v) s = *Ansi().Encode(s);
      return v;
    };
    t.Add(enc({"García", "-12.50", "20240305", "T", "Lugo", "2.675", "30"}));
    t.Add(enc({"  ana", "7", "", "F", "Ávila", "12.345", "-2"}), /*del=*/true);
    t.Add(enc({"ZOE ANN", "1234567.89", "20000101", "Y", "", "-0.004", ""}));
  }
  std::unique_ptr<Expression> Parse(const std::string& utf8) {
    return Expression::Parse(*Ansi().Encode(utf8), t.fields, Ansi());
  }
  ExprValue Eval(const std::string& utf8, uint64_t recno = 1) {
    RowView row(&t, recno, t.rows[recno - 1], t.deleted[recno - 1]);
    return Parse(utf8)->Eval(row);
  }
  // The key bytes (as UTF-8) a character expression gives: padded to its width.
  std::string Key(const std::string& utf8, uint64_t recno = 1) { return Ansi().Decode(Eval(utf8, recno).text); }
  bool Holds(const std::string& utf8, uint64_t recno = 1) {
    ExprValue v = Eval(utf8, recno);
    EXPECT_EQ(v.type, 'L') << utf8;
    return v.logical;
  }
  int Width(const std::string& utf8) { return Parse(utf8)->width(); }
  // The message of the parse error, failing the test when the expression is accepted.
  std::string Refusal(const std::string& utf8) {
    try {
      Parse(utf8);
    } catch (const engine::EngineError& e) {
      EXPECT_EQ(e.code(), engine::err::kInvalidExpression) << utf8;
      return e.what();
    }
    ADD_FAILURE() << "accepted: " << utf8;
    return {};
  }
  Table t;
};

TEST_F(ExprFunctions, LogicalConstantsInEveryDBaseSpelling) {
  for (const char* yes : {".T.", ".t.", ".TRUE.", ".True.", ".Y.", ".y."}) {
    EXPECT_TRUE(Holds(yes)) << yes;
    EXPECT_FALSE(Holds(std::string(".NOT. ") + yes)) << yes;
  }
  for (const char* no : {".F.", ".f.", ".FALSE.", ".false.", ".N.", ".n."}) {
    EXPECT_FALSE(Holds(no)) << no;
    EXPECT_TRUE(Holds(std::string("!") + no)) << no;
  }
  EXPECT_TRUE(Holds(".TRUE..AND..NOT..FALSE."));
  EXPECT_FALSE(Holds("ACTIVO .AND. .FALSE."));
  EXPECT_TRUE(Holds(".FALSE. .OR. ACTIVO"));
  EXPECT_TRUE(Holds("ACTIVO = .TRUE.", 3));  // a stored 'Y' is true
  for (const char* bad : {".FALS.", ".TRUEX.", ".YES.", ".X.", "..", ".T", ".AND."})
    EXPECT_NE(Refusal(bad).find("no es válida"), std::string::npos) << bad;
}

TEST_F(ExprFunctions, ComparisonsFollowDBaseRulesPerType) {
  // Text, as with SET EXACT OFF: the left side is taken to the right side's length.
  EXPECT_TRUE(Holds("NOMBRE = 'Gar'"));
  EXPECT_TRUE(Holds("NOMBRE = ''"));
  EXPECT_FALSE(Holds("'Gar' = NOMBRE"));
  EXPECT_TRUE(Holds("NOMBRE >= 'Gar' .AND. NOMBRE <= 'Gar'"));
  EXPECT_FALSE(Holds("NOMBRE > 'Gar'"));
  EXPECT_TRUE(Holds("'Gar' < NOMBRE"));
  EXPECT_TRUE(Holds("NOMBRE <> 'Gas' .AND. NOMBRE # 'Gas' .AND. NOMBRE != 'Gas'"));
  EXPECT_FALSE(Holds("NOMBRE != 'García'"));
  EXPECT_TRUE(Holds("NOMBRE == 'García'"));  // trailing blanks do not count
  EXPECT_FALSE(Holds("NOMBRE == 'Gar'"));
  EXPECT_TRUE(Holds("CIUDAD < 'Lugo' .OR. CIUDAD > 'Lugo'", 2));
  EXPECT_TRUE(Holds("'rcí' $ NOMBRE"));
  EXPECT_FALSE(Holds("'RC' $ NOMBRE"));
  EXPECT_FALSE(Holds("'' $ NOMBRE"));
  // Numbers and dates; a blank date is before every date.
  EXPECT_TRUE(Holds("IMPORTE < 0 .AND. IMPORTE >= -12.5 .AND. IMPORTE = -12.50 .AND. IMPORTE <> 12.5"));
  EXPECT_TRUE(Holds("PRECIO > 2.6749 .AND. PRECIO < 2.6751"));
  EXPECT_TRUE(Holds("FECHA > {03/04/2024} .AND. FECHA <= {03/05/2024} .AND. FECHA # {}"));
  EXPECT_TRUE(Holds("FECHA < {01/01/0100} .AND. FECHA = {  /  /  }", 2));
  EXPECT_TRUE(Holds("ACTIVO <> .F. .AND. ACTIVO == .T."));
  for (const char* bad : {"NOMBRE = 1", "FECHA > 'x'", "ACTIVO < .T.", "1 $ 2", "NOMBRE .AND. ACTIVO"})
    Refusal(bad);
}

TEST_F(ExprFunctions, PlusAndMinusOnTextNumbersAndDates) {
  // '+' keeps every blank; '-' moves the left side's trailing blanks to the end.
  EXPECT_EQ(Key("NOMBRE+CIUDAD"), "García    Lugo  ");
  EXPECT_EQ(Key("NOMBRE-CIUDAD"), "GarcíaLugo      ");
  EXPECT_EQ(Key("'AB  '-'CD '-'E'"), "ABCDE   ");
  EXPECT_EQ(Key("'  AB'-'C'"), "  ABC");
  EXPECT_EQ(Width("NOMBRE-CIUDAD+'X'"), 17);
  EXPECT_DOUBLE_EQ(Eval("IMPORTE + DIAS - 0.5").number, 17.0);
  EXPECT_EQ(Eval("FECHA + DIAS").day, engine::DayFromCivil(2024, 4, 4));
  EXPECT_EQ(Eval("DIAS + FECHA").day, engine::DayFromCivil(2024, 4, 4));
  EXPECT_EQ(Eval("FECHA - DIAS").day, engine::DayFromCivil(2024, 2, 4));  // 2024 is a leap year
  EXPECT_DOUBLE_EQ(Eval("FECHA - {12/31/2023}").number, 65);
  EXPECT_EQ(Eval("FECHA + 1", 2).day, 0);  // a blank date stays blank
  // A day outside years 1 to 9999 gives the blank date too.
  EXPECT_EQ(Eval("FECHA - 800000").day, 0);
  EXPECT_EQ(Eval("FECHA + 3000000").day, 0);
  EXPECT_EQ(Eval("FECHA + 9000000000 * 1000000000").day, 0);
  EXPECT_EQ(Eval("FECHA - 999999999 * 999999999 * 999999999 * 999999999").day, 0);
  EXPECT_EQ(Eval("FECHA + 1/0").day, engine::DayFromCivil(2024, 3, 5));  // division by zero gives 0
  for (const char* bad : {"NOMBRE + IMPORTE", "FECHA + FECHA", "DIAS - FECHA", "'a' - 1", "ACTIVO + ACTIVO"})
    Refusal(bad);
}

TEST_F(ExprFunctions, StrFormatsAsDBase) {
  EXPECT_EQ(Key("STR(12.5,6,1)"), "  12.5");
  EXPECT_EQ(Key("STR(IMPORTE)"), "       -13");  // width 10, no decimals, halves away from zero
  EXPECT_EQ(Key("STR(IMPORTE,8,2)"), "  -12.50");
  EXPECT_EQ(Key("STR(PRECIO,5,2)"), " 2.68");      // 2.675 rounds up: decimal, not binary
  EXPECT_EQ(Key("STR(PRECIO,6,2)", 2), " 12.35");
  EXPECT_EQ(Key("STR(PRECIO,5,2)", 3), " 0.00");    // no "-0.00"
  EXPECT_EQ(Key("STR(IMPORTE,10,2)", 3), "1234567.89");
  EXPECT_EQ(Key("STR(IMPORTE,9,2)", 3), "1234567.9");  // decimals give way first
  EXPECT_EQ(Key("STR(IMPORTE,7,2)", 3), "1234568");
  EXPECT_EQ(Key("STR(IMPORTE,6,2)", 3), "******");     // then asterisks
  EXPECT_EQ(Key("STR(9.96,3,2)"), " 10");
  EXPECT_EQ(Key("STR(0.5,4,2)"), "0.50");
  EXPECT_EQ(Key("STR(DIAS,3)", 3), "  0");             // a blank number is zero
  EXPECT_EQ(Key("STR(RECNO(),5)", 2), "    2");
  EXPECT_EQ(Key("STR(1/3,10,4)"), "    0.3333");
  EXPECT_EQ(Key("STR(2 + 1, 1 + 1)"), " 3");           // constant expressions fix the width
  EXPECT_EQ(engine::dbase::XbaseStr(-2.5, 4, 0), "  -3");
  EXPECT_EQ(engine::dbase::XbaseStr(1e20, 25, 0), "    100000000000000000000");
  EXPECT_EQ(engine::dbase::XbaseStr(1.0 / 0.0, 4, 0), "****");
  EXPECT_NE(Refusal("STR(IMPORTE, DIAS)").find("número fijo"), std::string::npos);
  EXPECT_NE(Refusal("STR(IMPORTE, 0)").find("de 1 a 255"), std::string::npos);
  Refusal("STR(IMPORTE, 10, -1)");
  Refusal("STR(NOMBRE)");
  Refusal("STR()");
}

TEST_F(ExprFunctions, DateFunctions) {
  EXPECT_EQ(Key("DTOS(FECHA)"), "20240305");
  EXPECT_EQ(Key("DTOS(FECHA)", 2), "        ");
  EXPECT_EQ(Key("DTOC(FECHA)"), "03/05/24");
  EXPECT_EQ(Key("DTOC(FECHA)", 3), "01/01/00");
  EXPECT_EQ(Key("DTOC(FECHA)", 2), "  /  /  ");
  EXPECT_EQ(Eval("CTOD('03/05/24')").day, engine::DayFromCivil(1924, 3, 5));  // no century: 1900s
  EXPECT_EQ(Eval("CTOD('12/31/1999')").day, engine::DayFromCivil(1999, 12, 31));
  EXPECT_EQ(Eval("CTOD(' 2-29-2024 ')").day, engine::DayFromCivil(2024, 2, 29));
  EXPECT_EQ(Eval("CTOD('02/30/2024')").day, 0);
  EXPECT_EQ(Eval("CTOD('  /  /  ')").day, 0);
  EXPECT_EQ(Eval("CTOD('03/05/24x')").day, 0);
  EXPECT_EQ(Eval("CTOD(DTOC(FECHA))").day, engine::DayFromCivil(1924, 3, 5));
  EXPECT_DOUBLE_EQ(Eval("DAY(FECHA)").number, 5);
  EXPECT_DOUBLE_EQ(Eval("MONTH(FECHA)").number, 3);
  EXPECT_DOUBLE_EQ(Eval("YEAR(FECHA)").number, 2024);
  EXPECT_DOUBLE_EQ(Eval("YEAR(FECHA) + MONTH(FECHA) + DAY(FECHA)", 2).number, 0);
  EXPECT_EQ(Key("CDOW(FECHA)"), "Tuesday  ");
  EXPECT_EQ(Key("CDOW(FECHA)", 3), "Saturday ");
  EXPECT_EQ(Key("CDOW(FECHA)", 2), "         ");
  EXPECT_EQ(Key("CDOW(FECHA + 1)") + "|" + Key("CDOW(FECHA + 5)"), "Wednesday|Sunday   ");
  EXPECT_EQ(Key("CMONTH(FECHA)"), "March    ");
  EXPECT_EQ(Key("CMONTH(FECHA + 200)"), "September");
  EXPECT_EQ(Key("TRIM(CMONTH(FECHA))+'!'"), "March!    ");
  EXPECT_EQ(Width("CDOW(FECHA)") + Width("CMONTH(FECHA)"), 18);
  Refusal("DTOS(NOMBRE)");
  Refusal("CTOD(FECHA)");
  Refusal("YEAR(IMPORTE)");
}

TEST_F(ExprFunctions, SubstringFunctionsNeedFixedLengths) {
  EXPECT_EQ(Key("SUBSTR(NOMBRE,2,3)"), "arc");
  EXPECT_EQ(Key("SUBSTR(NOMBRE,4)"), "cía    ");
  EXPECT_EQ(Width("SUBSTR(NOMBRE,4)"), 7);
  EXPECT_EQ(Key("SUBSTR(NOMBRE,10,2)"), " ");        // cut at the end of the value
  EXPECT_EQ(Width("SUBSTR(NOMBRE,12,2)"), 0);
  EXPECT_EQ(Key("SUBSTR(NOMBRE,DIAS/10,2)"), "rc");   // a variable start with a fixed length
  EXPECT_EQ(Key("SUBSTR(NOMBRE,DIAS,2)", 2), "  ");   // a start before the first character counts from it
  EXPECT_EQ(Key("SUBSTR(TRIM(NOMBRE),5)"), "ía    ");
  EXPECT_EQ(Key("SUBS(NOMBRE,1,1)"), "G");
  EXPECT_EQ(Key("LEFT(NOMBRE,3)+RIGHT(CIUDAD,3)"), "Garo  ");  // RIGHT keeps the blanks
  EXPECT_EQ(Key("RIGHT(TRIM(CIUDAD),3)"), "ugo");
  EXPECT_EQ(Key("LEFT(CIUDAD,20)"), "Lugo  ");
  EXPECT_EQ(Width("LEFT(CIUDAD,20)"), 6);
  EXPECT_EQ(Key("SPACE(3)+'x'"), "   x");
  EXPECT_EQ(Key("REPLICATE('ab',3)"), "ababab");
  EXPECT_EQ(Key("REPLICATE(TRIM(CIUDAD),2)"), "LugoLugo    ");
  EXPECT_EQ(Key("PADL(TRIM(CIUDAD),6)"), "  Lugo");
  EXPECT_EQ(Key("PADR(TRIM(CIUDAD),6,'*')"), "Lugo**");
  EXPECT_EQ(Key("PADC(TRIM(CIUDAD),7,'-')"), "-Lugo--");
  EXPECT_EQ(Key("PADL(NOMBRE,3)"), "Gar");
  EXPECT_EQ(Key("STUFF(NOMBRE,2,3,'XY')"), "GXYía    ");
  EXPECT_EQ(Width("STUFF(NOMBRE,2,3,'XY')"), 9);
  EXPECT_EQ(Key("STUFF(TRIM(NOMBRE),20,0,'!')"), "García!    ");
  EXPECT_EQ(Width("STUFF(NOMBRE,20,0,'!')"), 11);
  for (const char* bad : {"LEFT(NOMBRE,DIAS)", "RIGHT(NOMBRE,DIAS)", "SUBSTR(NOMBRE,1,DIAS)",
                          "SPACE(DIAS)", "REPLICATE('a',DIAS)", "PADL(NOMBRE,DIAS)",
                          "PADR(NOMBRE,RECNO())", "PADC(NOMBRE,LEN(NOMBRE))", "STUFF(NOMBRE,DIAS,1,'a')",
                          "STUFF(NOMBRE,1,DIAS,'a')"}) {
    std::string why = Refusal(bad);
    EXPECT_NE(why.find("número fijo"), std::string::npos) << bad << ": " << why;
    EXPECT_NE(why.find(bad), std::string::npos) << why;  // names the expression
  }
  EXPECT_NE(Refusal("SUBSTR(NOMBRE,DIAS)").find("no se admite"), std::string::npos);
  for (const char* bad : {"SUBSTR(NOMBRE,0,2)", "LEFT(NOMBRE,-1)", "SPACE(70000)", "STUFF(NOMBRE,0,1,'a')",
                          "REPLICATE(REPLICATE(REPLICATE('abc',255),255),255)", "PADL(IMPORTE,5)",
                          "LEFT(NOMBRE)", "SUBSTR(NOMBRE)"})
    Refusal(bad);
}

TEST_F(ExprFunctions, CaseTrimAndDescend) {
  EXPECT_EQ(Key("UPPER(NOMBRE)"), "GARCÍA    ");
  EXPECT_EQ(Key("LOWER(CIUDAD)", 2), "ávila ");
  EXPECT_EQ(Key("TRIM(NOMBRE)+'|'"), "García|    ");
  EXPECT_EQ(Key("RTRIM(NOMBRE)+'|'", 2), "  ana|     ");
  EXPECT_EQ(Key("LTRIM(NOMBRE)+'|'", 2), "ana     |  ");
  EXPECT_EQ(Key("ALLTRIM(NOMBRE)+'|'", 2), "ana|       ");
  EXPECT_EQ(Width("ALLTRIM(NOMBRE)+'|'"), 11);
  // DESCEND turns each byte b into 255 - b, so keys sort the other way round.
  std::string d = Eval("DESCEND(CIUDAD)").text;
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(static_cast<uint8_t>(d[0]), 255 - 'L');
  EXPECT_EQ(static_cast<uint8_t>(d[3]), 255 - 'o');
  EXPECT_EQ(static_cast<uint8_t>(d[5]), 255 - ' ');
  std::string lugo = Eval("DESCEND(UPPER(CIUDAD))").text, avila = Eval("DESCEND(UPPER(CIUDAD))", 2).text;
  EXPECT_GT(Eval("UPPER(CIUDAD)", 2).text, Eval("UPPER(CIUDAD)").text);
  EXPECT_LT(avila, lugo);
  // Inside a shorter value, the key's padding stays blank.
  std::string trimmed = Eval("DESCEND(TRIM(CIUDAD))").text;
  EXPECT_EQ(static_cast<uint8_t>(trimmed[3]), 255 - 'o');
  EXPECT_EQ(trimmed.substr(4), "  ");
  for (const char* bad : {"DESCEND(IMPORTE)", "DESCEND(FECHA)", "DESCEND(ACTIVO)"})
    EXPECT_NE(Refusal(bad).find("no se admite DESCEND()"), std::string::npos) << bad;
}

TEST_F(ExprFunctions, NumericFunctions) {
  EXPECT_DOUBLE_EQ(Eval("ASC(NOMBRE)").number, 'G');
  EXPECT_DOUBLE_EQ(Eval("ASC(CIUDAD)", 2).number, 0xC1);  // Á in code page 1252
  EXPECT_DOUBLE_EQ(Eval("ASC(TRIM(CIUDAD))", 3).number, 0);
  EXPECT_EQ(Key("CHR(65)+CHR(DIAS+35)"), "AA");
  EXPECT_EQ(Eval("CHR(DIAS+256)").text, "\x1E");           // codes wrap around
  EXPECT_EQ(Eval("CHR(DIAS)", 2).text, "\xFE");
  EXPECT_DOUBLE_EQ(Eval("LEN(NOMBRE)").number, 10);
  EXPECT_DOUBLE_EQ(Eval("LEN(TRIM(NOMBRE))").number, 6);
  EXPECT_DOUBLE_EQ(Eval("AT('rc',NOMBRE)").number, 3);
  EXPECT_DOUBLE_EQ(Eval("AT('x',NOMBRE)").number, 0);
  EXPECT_DOUBLE_EQ(Eval("AT('',NOMBRE)").number, 0);
  EXPECT_EQ(Eval("ABS(IMPORTE)").text, "12.5");
  EXPECT_DOUBLE_EQ(Eval("ABS(IMPORTE)").number, 12.5);
  EXPECT_EQ(Eval("INT(IMPORTE)").text, "-12");        // toward zero
  EXPECT_EQ(Eval("INT(PRECIO)", 3).text, "0");
  EXPECT_DOUBLE_EQ(Eval("INT(IMPORTE*2+0.5)").number, -24);
  EXPECT_EQ(Eval("ROUND(PRECIO,2)").text, "2.68");
  EXPECT_EQ(Eval("ROUND(IMPORTE,0)").text, "-13");
  EXPECT_EQ(Eval("ROUND(IMPORTE,-3)", 3).text, "1235000");
  EXPECT_EQ(Eval("ROUND(PRECIO,2)", 3).text, "0.00");
  EXPECT_DOUBLE_EQ(Eval("ROUND(1/3, 2)").number, 0.33);
  EXPECT_DOUBLE_EQ(Eval("MAX(IMPORTE, DIAS)").number, 30);
  EXPECT_DOUBLE_EQ(Eval("MIN(IMPORTE, DIAS)").number, -12.5);
  EXPECT_EQ(Eval("MAX(FECHA, {01/01/2030})").day, engine::DayFromCivil(2030, 1, 1));
  EXPECT_EQ(Eval("MIN(FECHA, {01/01/2030})").day, engine::DayFromCivil(2024, 3, 5));
  EXPECT_EQ(Eval("VAL('  -42.5xyz')").text, "-42.5");
  EXPECT_DOUBLE_EQ(Eval("VAL(SUBSTR(DTOS(FECHA),5,2))").number, 3);
  EXPECT_DOUBLE_EQ(Eval("VAL('abc')").number, 0);
  EXPECT_DOUBLE_EQ(Eval("RECNO()", 3).number, 3);
  EXPECT_TRUE(Holds("DELETED()", 2));
  EXPECT_FALSE(Holds("DELETED()", 1));
  EXPECT_EQ(Key("IIF(ACTIVO, NOMBRE, CIUDAD)", 2), "Ávila     ");
  EXPECT_EQ(Width("IIF(ACTIVO, NOMBRE, CIUDAD)"), 10);
  EXPECT_DOUBLE_EQ(Eval("IIF(DELETED(), -1, RECNO())", 2).number, -1);
  for (const char* bad : {"MAX(NOMBRE, CIUDAD)", "MIN(IMPORTE, FECHA)", "CHR(300)", "CHR(NOMBRE)", "ASC(1)",
                          "LEN(IMPORTE)", "AT(NOMBRE)", "ABS(FECHA)", "ROUND(IMPORTE)", "IIF(1, 2, 3)"})
    Refusal(bad);
  EXPECT_NE(Refusal("MAX(NOMBRE, CIUDAD)").find("no se admite MAX()"), std::string::npos);
}

TEST_F(ExprFunctions, UnknownOrHostileTextIsRefusedAtParse) {
  // Each message names the expression and says what is wrong.
  std::string why = Refusal("SOUNDEX(NOMBRE)");
  EXPECT_NE(why.find("«SOUNDEX(NOMBRE)»"), std::string::npos) << why;
  EXPECT_NE(why.find("función desconocida SOUNDEX()"), std::string::npos) << why;
  EXPECT_NE(Refusal("UPPER(NOMBRE, 1)").find("UPPER() recibe 2 argumentos y admite 1"), std::string::npos);
  EXPECT_NE(Refusal("SUBSTR(IMPORTE, 1)").find("debe ser de tipo texto y es de tipo número"), std::string::npos);
  EXPECT_NE(Refusal("-NOMBRE").find("«-» necesita un valor de tipo número"), std::string::npos);
  EXPECT_NE(Refusal("ACTIVO .AND. FECHA").find("«.AND.» necesita un valor de tipo lógico"), std::string::npos);
  for (const char* bad : {"IMPORTE ** 2", "IMPORTE ^ 2", "IMPORTE % 2", "MOD(IMPORTE, 2)", "NOMBRE AND ACTIVO",
                          "&NOMBRE", "NOMBRE->", "{1/1/10000}", "{02/30/2024}", "\"abc", "[abc", "{01/01/2024",
                          "UPP(NOMBRE)", "DES(NOMBRE)", "STUF(NOMBRE,1,1,'a')x"})
    Refusal(bad);
  EXPECT_EQ(Key("ALLT(NOMBRE)", 2), "ana       ");   // four letters name a function
  EXPECT_EQ(Key("REPL('-',2)+DESC(CHR(254))"), "--\x01");
  // Deep nesting is refused before it can exhaust the stack.
  std::string deep = std::string(1000, '(') + "1" + std::string(1000, ')');
  EXPECT_NE(Refusal(deep).find("anida más de 100 niveles"), std::string::npos);
  EXPECT_NE(Refusal(std::string(1000, '-') + "1").find("niveles"), std::string::npos);
  EXPECT_NE(Refusal(std::string(3000, '!') + ".T.").find("niveles"), std::string::npos);
  EXPECT_NE(Refusal(std::string(3000, 'x')).find("no existe el campo"), std::string::npos);
  std::string chain = "1";
  while (chain.size() < 5000) chain += "+1";
  EXPECT_NE(Refusal(chain).find("mide más de 4096 bytes"), std::string::npos);
  chain.resize(4095);
  EXPECT_DOUBLE_EQ(Eval(chain).number, 2048);
  std::string nested = "1";
  for (int i = 0; i < 60; ++i) nested = "ABS(" + nested + ")";
  EXPECT_DOUBLE_EQ(Eval(nested).number, 1);
}

// Tags whose expressions use the functions, written and read back through the index.
class ExprTags : public ExprFunctions {
 protected:
  // Writes an index with these tags over the rows; returns its path.
  std::string Build(const std::string& file, const std::vector<engine::TagInfo>& tags) {
    std::string path = dir / file;
    Rows rows(t);
    engine::dbase::MdxIndex::Create(path, file.substr(0, file.find('.')), tags, t.fields, Ansi(), rows);
    return path;
  }
  std::vector<std::pair<std::string, uint64_t>> Dump(const std::string& path, const std::string& tag) {
    std::vector<std::pair<std::string, uint64_t>> out;
    engine::dbase::DumpMdxTag(path, tag, Ansi(), [&](const std::string& key, uint64_t r) { out.emplace_back(key, r); });
    return out;
  }
  testing_support::TempDir dir;
};

TEST_F(ExprTags, ConstantForClausesParseAndFilter) {
  std::string path = Build("T.MDX", {
                                        {"NINGUNO", "NOMBRE", ".FALSE.", 'C', false, false},
                                        {"TODOS", "NOMBRE", ".true.", 'C', false, false},
                                        {"VIVOS", "CIUDAD", ".NOT. DELETED() .AND. ACTIVO = .Y.", 'C', false, false},
                                        {"NO", "IMPORTE", ".n.", 'N', false, false},
                                    });
  auto idx = engine::dbase::MdxIndex::Open(path, t.fields, Ansi(), false);
  ASSERT_EQ(idx->Tags().size(), 4u);
  EXPECT_EQ(idx->Tags()[0].filter, ".FALSE.");
  EXPECT_TRUE(WalkAll(*idx, "NINGUNO").empty());
  EXPECT_TRUE(WalkAll(*idx, "NO").empty());
  EXPECT_EQ(WalkAll(*idx, "TODOS"), (std::vector<uint64_t>{2, 1, 3}));  // "  ana", "García", "ZOE ANN"
  EXPECT_EQ(WalkAll(*idx, "VIVOS"), (std::vector<uint64_t>{3, 1}));
  Rows rows(t);
  auto report = idx->Check(rows);
  EXPECT_TRUE(report.ok()) << (report.problems.empty() ? "" : report.problems[0]);
}

TEST_F(ExprTags, StoredKeysAreTheEvaluatedBytes) {
  std::string path = Build("K.MDX", {
                                        {"COMPUESTO", "STR(IMPORTE,11,2)+DTOS(FECHA)", "", 'C', false, false},
                                        {"INVERSO", "DESCEND(UPPER(CIUDAD))", "", 'C', false, false},
                                        {"MES", "CIUDAD-CMONTH(FECHA)", "", 'C', false, false},
                                        {"REDONDO", "ROUND(PRECIO,2)", "", 'N', false, false},
                                        {"CUANDO", "CTOD(DTOC(FECHA))+DIAS", "", 'D', false, false},
                                    });
  using Entries = std::vector<std::pair<std::string, uint64_t>>;
  EXPECT_EQ(Dump(path, "COMPUESTO"), (Entries{{"       7.00        ", 2},
                                              {"     -12.5020240305", 1},
                                              {" 1234567.8920000101", 3}}));
  // "ÁVILA " > "LUGO  " > "      " byte for byte, so DESCEND puts them the other way.
  auto inverse = Dump(path, "INVERSO");
  ASSERT_EQ(inverse.size(), 3u);
  EXPECT_EQ(inverse[0].second, 2u);
  EXPECT_EQ(inverse[1].second, 1u);
  EXPECT_EQ(inverse[2].second, 3u);
  EXPECT_EQ(*Ansi().Encode(inverse[1].first), "\xB3\xAA\xB8\xB0\xDF\xDF");  // 255 - "LUGO  "
  // "-" moves the city's trailing blanks behind the month.
  EXPECT_EQ(Dump(path, "MES"), (Entries{{"January        ", 3}, {"LugoMarch      ", 1}, {"Ávila          ", 2}}));
  EXPECT_EQ(Dump(path, "REDONDO"), (Entries{{"0", 3}, {"2.68", 1}, {"12.35", 2}}));
  EXPECT_EQ(Dump(path, "CUANDO"), (Entries{{"        ", 2}, {"19000101", 3}, {"19240404", 1}}));
}

// ---- Real index files: the keys another program stored equal the keys evaluated here ----

uint32_t U32(const std::string& b, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, b.data() + at, 4);
  return v;
}

uint16_t U16(const std::string& b, size_t at) {
  uint16_t v = 0;
  std::memcpy(&v, b.data() + at, 2);
  return v;
}

// Every leaf entry (record number, key bytes) of a dBASE .NDX file: 512-byte blocks, header with
// root block (0), key length (12), key type (16: 0 text, 1 number or date as a double), entry
// length (18) and expression (24); a node holds a count, then entries [child][recno][key].
struct Ndx {
  std::string expression;
  int key_type = 0;
  std::vector<std::pair<uint64_t, std::string>> leaves;
};

Ndx ReadNdx(const std::string& path) {
  std::string b = testing_support::ReadFileBytes(path);
  Ndx ndx;
  ndx.expression = std::string(b.c_str() + 24);
  ndx.key_type = U16(b, 16);
  size_t key_len = U16(b, 12), entry = U16(b, 18);
  int visits = 0;
  std::function<void(uint32_t)> walk = [&](uint32_t block) {
    size_t at = static_cast<size_t>(block) * 512;
    if (++visits > 10000 || at + 512 > b.size()) throw std::runtime_error("bad ndx node");
    uint32_t n = U32(b, at);
    for (uint32_t i = 0; i <= n; ++i) {
      size_t e = at + 4 + i * entry;
      if (e + 8 + key_len > at + 512) break;
      uint32_t child = U32(b, e);
      if (child != 0) walk(child);
      else if (i < n) ndx.leaves.emplace_back(U32(b, e + 4), b.substr(e + 8, key_len));
    }
  };
  walk(U32(b, 0));
  return ndx;
}

class ExprSamples : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing_support::SamplesDir();
    if (dir.empty()) GTEST_SKIP() << testing_support::NoSamples();
  }
  std::string dir;
};

TEST_F(ExprSamples, NdxKeysWrittenByAnotherEngine) {
  const engine::CodePage& cp = *engine::CodePage::Find(437);
  for (const char* name : {"ndx-char", "ndx-num", "ndx-date"}) {
    SCOPED_TRACE(name);
    Table table = ReadDbf(dir + "/dbd-xbase/" + name + ".dbf");
    Ndx ndx = ReadNdx(dir + "/dbd-xbase/" + name + ".ndx");
    ASSERT_EQ(ndx.leaves.size(), table.rows.size());
    auto expr = Expression::Parse(ndx.expression, table.fields, cp);  // "v1", "field1": names ignore case
    for (const auto& [recno, key] : ndx.leaves) {
      ASSERT_GE(recno, 1u);
      ASSERT_LE(recno, table.rows.size());
      RowView row(&table, recno, table.rows[recno - 1], table.deleted[recno - 1]);
      ExprValue v = expr->Eval(row);
      if (ndx.key_type == 0) {
        ASSERT_EQ(v.type, 'C');
        EXPECT_EQ(v.text, key) << recno;  // the expression's width is the key length
        continue;
      }
      double stored = 0;
      std::memcpy(&stored, key.data(), 8);
      if (v.type == 'D') EXPECT_EQ(static_cast<double>(engine::JulianFromDay(v.day)), stored) << recno;
      else EXPECT_EQ(v.number, stored) << recno;
    }
  }
}

TEST_F(ExprSamples, MdxCharacterTagOfDBaseIV) {
  const engine::CodePage& cp = *engine::CodePage::Find(437);
  Table table = ReadDbf(dir + "/jdbfdriver/TEST.DBF");
  std::string mdx = dir + "/jdbfdriver/TEST.MDX";
  std::vector<engine::TagInfo> tags = engine::dbase::ReadMdxTags(mdx);
  ASSERT_FALSE(tags.empty());
  ASSERT_EQ(tags[0].name, "TEST1");  // the tag dBASE IV itself wrote
  auto expr = Expression::Parse(*cp.Encode(tags[0].expression), table.fields, cp);
  size_t seen = 0;
  engine::dbase::DumpMdxTag(mdx, "TEST1", cp, [&](const std::string& key, uint64_t recno) {
    ASSERT_LE(recno, table.rows.size());
    RowView row(&table, recno, table.rows[recno - 1], table.deleted[recno - 1]);
    EXPECT_EQ(cp.Decode(expr->Eval(row).text), key) << recno;
    ++seen;
  });
  EXPECT_EQ(seen, table.rows.size());
}

}  // namespace
