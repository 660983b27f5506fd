// The file-name rules of the wizard: the yielded name, quoting, valid names, folders, title.
#include <QSet>
#include <QtTest>

#include "app/FileNameRules.h"
#include "app/TableModel.h"

using namespace wizard;

class RulesTest : public QObject {
  Q_OBJECT
 private slots:
  void yieldedName_data();
  void yieldedName();
  void yieldedNamePrefersAnExistingWholeText();
  void quotingAfterAChoice_data();
  void quotingAfterAChoice();
  void validNames();
  void folderAndName_data();
  void folderAndName();
  void applicationTitle_data();
  void applicationTitle();
  void gridCellTexts();
};

void RulesTest::yieldedName_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("expected");
  QTest::newRow("initial text") << "\"C:\\Archivos de programa\\Morvane\\Morvane Tribanor\\Tribanor.exe\""
                                << "C:\\Archivos de programa\\Morvane\\Morvane Tribanor\\Tribanor.exe";
  QTest::newRow("no blanks") << "/opt/tribanor/Tribanor.exe" << "/opt/tribanor/Tribanor.exe";
  QTest::newRow("unquoted blank ends the token") << "/opt/Mi Tribanor/Tribanor.exe" << "/opt/Mi";
  QTest::newRow("leading blanks and tabs") << QString(" \t\r\n/a/b.exe rest") << "/a/b.exe";
  QTest::newRow("control characters skipped") << QString("\x01\x1f/a.exe") << "/a.exe";
  QTest::newRow("quotes inside the token") << "/opt/\"Mi Tribanor\"/T.exe x" << "/opt/Mi Tribanor/T.exe";
  QTest::newRow("empty quote pair before the token") << "\"\" /a.exe" << "/a.exe";
  QTest::newRow("empty quote pairs glued") << "\"\"\"\"/a.exe" << "/a.exe";
  QTest::newRow("unclosed quote runs to the end") << "\"/a b/c d" << "/a b/c d";
  QTest::newRow("only blanks") << "   " << "";
  QTest::newRow("empty") << "" << "";
  QTest::newRow("only an empty quote pair") << "\"\"" << "";
  QTest::newRow("second token ignored") << "\"/a b.exe\" \"/c d.exe\"" << "/a b.exe";
  QTest::newRow("accents kept") << QString::fromUtf8("\"/datos/Año 2004/Tribanor.exe\"")
                                << QString::fromUtf8("/datos/Año 2004/Tribanor.exe");
}

void RulesTest::yieldedName() {
  QFETCH(QString, text);
  QFETCH(QString, expected);
  QCOMPARE(YieldedFileName(text, [](const QString&) { return false; }), expected);
}

void RulesTest::yieldedNamePrefersAnExistingWholeText() {
  const QSet<QString> files = {"/opt/Mi Tribanor/Tribanor.exe", "\"/q/x.exe\""};
  const FileExistsFn exists = [&](const QString& p) { return files.contains(p); };
  // A blank inside an unquoted, existing name does not cut it.
  QCOMPARE(YieldedFileName("/opt/Mi Tribanor/Tribanor.exe", exists), QString("/opt/Mi Tribanor/Tribanor.exe"));
  // The whole text wins even with its quotes when a file of that very name exists.
  QCOMPARE(YieldedFileName("\"/q/x.exe\"", exists), QString("\"/q/x.exe\""));
  // Otherwise the token rule applies.
  QCOMPARE(YieldedFileName("/opt/Mi Otro/Tribanor.exe", exists), QString("/opt/Mi"));
  // Without an existence test the token rule applies.
  QCOMPARE(YieldedFileName("/opt/Mi Tribanor/Tribanor.exe", FileExistsFn()), QString("/opt/Mi"));
}

void RulesTest::quotingAfterAChoice_data() {
  QTest::addColumn<QString>("chosen");
  QTest::addColumn<QString>("text");
  QTest::newRow("no blank") << "/opt/t/Tribanor.exe" << "/opt/t/Tribanor.exe";
  QTest::newRow("blank") << "/opt/Mi T/Tribanor.exe" << "\"/opt/Mi T/Tribanor.exe\"";
  QTest::newRow("already quoted") << "\"/opt/Mi T/Tribanor.exe\"" << "\"/opt/Mi T/Tribanor.exe\"";
  QTest::newRow("windows path") << "C:\\Archivos de programa\\T.exe" << "\"C:\\Archivos de programa\\T.exe\"";
  QTest::newRow("tab is not a blank") << "/a\tb.exe" << "/a\tb.exe";
}

void RulesTest::quotingAfterAChoice() {
  QFETCH(QString, chosen);
  QFETCH(QString, text);
  QCOMPARE(QuoteChosenName(chosen), text);
  // The quoted text yields the chosen name again.
  if (!chosen.startsWith('"') && !chosen.contains('\t'))
    QCOMPARE(YieldedFileName(QuoteChosenName(chosen), FileExistsFn()), chosen);
}

void RulesTest::validNames() {
  QVERIFY(IsValidFileName("C:\\Archivos de programa\\Tribanor.exe"));
  QVERIFY(IsValidFileName("/opt/t/Tribanor.exe"));
  QVERIFY(IsValidFileName(""));
  for (const char* bad : {"a<b", "a>b", "a[b", "a]b", "a|b", "a\"b"})
    QVERIFY2(!IsValidFileName(bad), bad);
}

void RulesTest::folderAndName_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("folder");
  QTest::addColumn<QString>("file");
  QTest::newRow("windows") << "C:\\Archivos de programa\\Morvane\\Tribanor.exe"
                           << "C:\\Archivos de programa\\Morvane\\" << "Tribanor.exe";
  QTest::newRow("posix") << "/home/ana/tribanor/Tribanor.exe" << "/home/ana/tribanor/" << "Tribanor.exe";
  QTest::newRow("drive only") << "C:Tribanor.exe" << "C:" << "Tribanor.exe";
  QTest::newRow("mixed, last separator wins") << "C:\\a/b\\c.exe" << "C:\\a/b\\" << "c.exe";
  QTest::newRow("no folder") << "Tribanor.exe" << "" << "Tribanor.exe";
  QTest::newRow("folder only") << "/opt/t/" << "/opt/t/" << "";
}

void RulesTest::folderAndName() {
  QFETCH(QString, name);
  QFETCH(QString, folder);
  QFETCH(QString, file);
  QCOMPARE(FolderOf(name), folder);
  QCOMPARE(NameWithoutFolder(name), file);
}

void RulesTest::applicationTitle_data() {
  QTest::addColumn<QString>("path");
  QTest::addColumn<QString>("title");
  QTest::newRow("posix executable") << "/usr/local/bin/Actualiza" << "Actualiza";
  QTest::newRow("windows, upper case") << "C:\\Tribanor\\ACTUALIZA.EXE" << "Actualiza";
  QTest::newRow("cut at the first dot") << "/x/Actualiza.V2.exe" << "Actualiza";
  QTest::newRow("first letter not raised") << "/x/actualiza.exe" << "actualiza";
  QTest::newRow("first letter kept as is") << "/x/aCTUALIZA" << "actualiza";
  QTest::newRow("accented letters lowered") << QString::fromUtf8("/x/AÑO.EXE") << QString::fromUtf8("Año");
}

void RulesTest::applicationTitle() {
  QFETCH(QString, path);
  QFETCH(QString, title);
  QCOMPARE(ApplicationTitleFor(path), title);
}

void RulesTest::gridCellTexts() {
  using engine::Value;
  QCOMPARE(TTableModel::DisplayText(Value::Null()), QString());
  QCOMPARE(TTableModel::DisplayText(Value::Text("Bodegas Peña   ")), QString::fromUtf8("Bodegas Peña"));
  QCOMPARE(TTableModel::DisplayText(Value::Text("  a b ")), QString("  a b"));  // leading blanks kept
  QCOMPARE(TTableModel::DisplayText(Value::Date(engine::DayFromCivil(2004, 1, 31))), QString("31/01/2004"));
  QCOMPARE(TTableModel::DisplayText(Value::Logical(true)), QString("Verdadero"));
  QCOMPARE(TTableModel::DisplayText(Value::Logical(false)), QString("Falso"));
  QCOMPARE(TTableModel::DisplayText(Value::Integer(-42)), QString("-42"));
  QCOMPARE(TTableModel::DisplayText(Value::Number(12.5, "12.5")), QString("12.5"));
}

QTEST_GUILESS_MAIN(RulesTest)
#include "rules_test.moc"
