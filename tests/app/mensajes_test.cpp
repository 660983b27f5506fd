// The error boxes of the upgrade run: the component's and the engine's texts unchanged, with the
// table and the data folder of the failed step below them, paths in this system's separators,
// each context line whole on a line of its own (shortened in its middle only when the screen
// leaves no room, with the full text in the details).
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Dialogs.h"
#include "app/Unit1.h"
#include "app/core/Avisos.h"
#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "engine/table.h"
#include "tests/support/helpers.h"
#include "tests/support/temp_dir.h"
#include "wizard_test_util.h"

using namespace wizard;
using wizard_test::MessageRecorder;

namespace {

const char* const kTableNotOpened = "Table could not be opened";
const char* const kNotExclusive = "Table could not be opened for exclusive access";
const char* const kFieldIndexRange = "Field index not in range";
// What the check before the run says under the component's text, and that nothing changed.
const char* const kNoExiste =
    "\nLa tabla no existe. Compruebe que la carpeta de datos es la correcta; no se ha modificado ningún fichero.";
const char* const kSinCriterio =
    "\nFalta el campo Criterio, que la actualización cambia. Recupere la tabla de una copia de seguridad o pida al "
    "servicio técnico que la repare, y vuelva a actualizar; no se ha modificado ningún fichero.";

// Runs "&Actualizar" on the installation of `exe` and returns the boxes it showed.
std::vector<wizard_test::ShownBox> Run(const std::string& exe) {
  TForm1 f;
  f.show();
  MessageRecorder rec(true);
  f.EditDirectorio->SetDialogHook(
      [exe](QWidget*, const BrowseRequest&) { return std::optional<QString>(QString::fromStdString(exe)); });
  f.EditDirectorio->Browse();
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  [&] { QVERIFY(f.isVisible()); }();  // an error leaves the window open
  for (const auto& box : rec.boxes()) [&] { QVERIFY2(box.cut.isEmpty(), qPrintable(box.cut.join(" | "))); }();
  return rec.boxes();
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A '/'-separated path as the run's messages write it, in this system's separators.
QString Shown(const std::string& path) { return Q(testing_support::SystemSeparators(path)); }

// Files and folders go through Qt, which takes these UTF-8 paths as they are (std::filesystem
// reads narrow strings in the ANSI code page on Windows).
bool IsFolder(const std::string& path) { return QFileInfo(Q(path)).isDir(); }

// Removes every file of a table (the .DBF and its companions), whatever their letter case.
void RemoveTable(const std::string& folder, const std::string& base) {
  QDir dir(Q(folder));
  for (const QFileInfo& e : dir.entryInfoList(QDir::Files))
    if (e.completeBaseName().compare(Q(base), Qt::CaseInsensitive) == 0) QFile::remove(e.filePath());
}

// What the box cuts once shown (WhatTheBoxCuts), the context lines to be kept whole.
QStringList LinesTheBoxBreaks(QMessageBox& box) {
  return wizard_test::WhatTheBoxCuts(box, wizard_test::ContextLines(box.text()));
}

}  // namespace

class MensajesTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void missingConfigurationTable();
  void stockTableWithoutCriterio();
  void tableHeldByAnotherProgram();
  void missingFiscalYearFolderIsNamedOnce();
  void everyContextLineStaysWhole();
  void everyLineOfEveryBoxIsDrawnWhole();
  void aPathTooLongForTheScreenIsShortenedInTheMiddle();

 private:
  actualiza::DemoSummary Demo(const std::string& root);
  std::unique_ptr<QTemporaryDir> dir_;
  std::string root_;
};

void MensajesTest::init() {
  // A short name of its own in the system's temporary folder: the folder lines of the messages
  // must fit the box whole, and the temporary folder of Windows is longer than /tmp already.
  dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/msj-XXXXXX");
  QVERIFY(dir_->isValid());
  root_ = dir_->filePath("Mi Tribanor").toStdString();
}

actualiza::DemoSummary MensajesTest::Demo(const std::string& root) {
  actualiza::DemoOptions o;
  o.customers = 6;
  return actualiza::WriteDemoInstallation(root, o);
}

void MensajesTest::missingConfigurationTable() {
  const auto demo = Demo(root_);
  RemoveTable(root_ + "/General", "Configu");
  const auto boxes = Run(demo.executable);
  QCOMPARE(boxes.size(), size_t{1});
  // Found before the first change: the component's text, the engine's reason, the table and folder.
  QCOMPARE(boxes[0].text, Q(std::string(kTableNotOpened) + kNoExiste + "\nTabla: Configu.Dbf\nCarpeta: ") +
                              Shown(root_ + "/General"));
  QCOMPARE(boxes[0].icon, QMessageBox::Critical);
  QCOMPARE(boxes[0].buttonCount, 1);
  QVERIFY(boxes[0].details.isEmpty());
}

void MensajesTest::stockTableWithoutCriterio() {
  const auto demo = Demo(root_);
  const std::string company = "Bodegas Peñalba, S.L.";
  const std::string folder = root_ + "/Empresas/" + company + "/Ejercicio2003";
  QVERIFY2(IsFolder(folder), folder.c_str());
  RemoveTable(folder, "Existencias");
  {
    engine::TTable t;
    t.SetDatabaseName(folder);
    t.SetTableName("Existencias.dbf");
    t.SetTableType(engine::TTableType::ttDBase);
    t.FieldDefs().Add("ARTICULO", engine::TFieldType::ftString, 10);
    t.CreateTable();
  }
  const auto boxes = Run(demo.executable);
  QCOMPARE(boxes.size(), size_t{1});
  // The folder as the run builds it ("Empresas\" + NOMBRE + "\Ejercicio" + EJERCICIO), in this
  // system's separators throughout.
  QCOMPARE(boxes[0].text, Q(std::string(kFieldIndexRange) + kSinCriterio + "\nTabla: Existencias.dbf\nCarpeta: ") +
                              Shown(folder));
#ifdef _WIN32
  QVERIFY(!boxes[0].text.contains('/'));
#else
  QVERIFY(!boxes[0].text.contains('\\'));
#endif
}

void MensajesTest::tableHeldByAnotherProgram() {
  const auto demo = Demo(root_);
  testing_support::TableHeldByAnotherProcess other(root_ + "/Empresa", "Clientes.Dbf");
  QVERIFY(other.holding());
  const auto boxes = Run(demo.executable);
  QCOMPARE(other.Release(), 0);
  QCOMPARE(boxes.size(), size_t{1});
  const std::string cierre = actualiza::kCierreTribanor;
  QCOMPARE(boxes[0].text, Q(std::string(kNotExclusive) + "\n" + cierre.substr(0, cierre.size() - 1) +
                            "; no se ha modificado ningún fichero.\nTabla: Clientes.Dbf\nCarpeta: ") +
                              Shown(root_ + "/Empresa"));
}

void MensajesTest::missingFiscalYearFolderIsNamedOnce() {
  const auto demo = Demo(root_);
  const std::string folder = root_ + "/Empresas/Viñedos del Duero, S.A./Ejercicio2003";
  QVERIFY2(IsFolder(folder), folder.c_str());
  QVERIFY(QDir().rename(Q(folder), Q(root_ + "/aparte")));
  const auto boxes = Run(demo.executable);
  QCOMPARE(boxes.size(), size_t{1});
  // Found before the first change; the folder line is written once.
  QCOMPARE(boxes[0].text, Q("No existe la carpeta del ejercicio 2003 de la empresa «Viñedos del Duero, S.A.». "
                            "Restáurela o corrija la lista de ejercicios en Tribanor y vuelva a actualizar; no se ha "
                            "modificado ningún fichero.\nTabla: Existencias.dbf\nCarpeta: ") + Shown(folder));
}

void MensajesTest::everyContextLineStaysWhole() {
  // A folder line wider than the box would be at its usual width, still within what the screen
  // allows: the box grows to hold it instead of breaking it.
  const std::string folder = root_ + "/Empresas/Viñedos del Duero, S.A./Ejercicio2003";
  const QString text = Q(std::string(kFieldIndexRange) + "\nTabla: Existencias.dbf\nCarpeta: ") + Shown(folder);
  QMessageBox probe;
  const QFontMetrics fm(probe.findChild<QLabel*>("qt_msgbox_label")->font());
  QVERIFY2(fm.horizontalAdvance(text.section('\n', 2)) <= ErrorLineWidth(),
           qPrintable(QString("the test's folder is too long: %1 pixels in %2, %3 allowed")
                          .arg(fm.horizontalAdvance(text.section('\n', 2)))
                          .arg(QFontInfo(probe.findChild<QLabel*>("qt_msgbox_label")->font()).family())
                          .arg(ErrorLineWidth())));
  QStringList broken;
  QString shown;
  auto previous = SetMessageBoxHook([&](QMessageBox& box) {
    if (shown.isEmpty()) shown = box.text();
    broken += LinesTheBoxBreaks(box);
  });
  ShowErrorMessage(text);
  // And a long text of the run's own, which the box wraps, above a path.
  ShowErrorMessage(QString("palabras de un mensaje largo ").repeated(20) + "\nCarpeta: " + Q(folder));
  SetMessageBoxHook(previous);
  QCOMPARE(shown.section('\n', 2), "Carpeta: " + Shown(folder));
  QCOMPARE(broken, QStringList());
}

void MensajesTest::everyLineOfEveryBoxIsDrawnWhole() {
  const QString folder = Shown(root_ + "/General");
  const QString deep = Shown(dir_->filePath(QString(70, 'a') + "/" + QString(70, 'b')).toStdString());
  const QString hint = Q(actualiza::kCierreTribanor);
  struct Case {
    bool error;
    QString text;
  };
  const Case cases[] = {
      {true, "La carpeta de datos no existe. Compruebe la ruta de la instalación.\nTabla: Empresas.DBF\nCarpeta: " + folder},
      {true, "La tabla no existe. Compruebe que la carpeta de datos es la de Tribanor.\nTabla: Empresas.DBF\nCarpeta: /"},
      {true, Q(kNotExclusive) + "\n" + hint + "\nTabla: Clientes.Dbf\nCarpeta: " + folder},
      {true, Q(kTableNotOpened) + "\nTabla: Configu.Dbf\nCarpeta: " + deep},
      {true, QString("palabras de un mensaje largo ").repeated(30) + "\nTabla: Configu.Dbf\nCarpeta: " + deep},
      {true, "Empresas: No se encuentra el campo 'CODIGO'\nTabla: Empresas.DBF\nCarpeta: " + folder},
      {false, "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada"},
      {false, "Proceso de Actualización Finalizado"},
      {false, QString("un aviso largo de la actualización ").repeated(25)},
  };
  for (const Case& c : cases) {
    QStringList cut;
    auto previous = SetMessageBoxHook([&](QMessageBox& box) { cut = LinesTheBoxBreaks(box); });
    c.error ? ShowErrorMessage(c.text) : ShowMessage(c.text);
    SetMessageBoxHook(previous);
    QVERIFY2(cut.isEmpty(), qPrintable(c.text.left(60) + " -> " + cut.join(" | ")));
  }
}

void MensajesTest::aPathTooLongForTheScreenIsShortenedInTheMiddle() {
  const std::string deep = dir_->filePath(QString(60, 'a') + "/" + QString(60, 'b') + "/Mi Tribanor").toStdString();
  const auto demo = Demo(deep);
  RemoveTable(deep + "/General", "Configu");
  const auto boxes = Run(demo.executable);
  QCOMPARE(boxes.size(), size_t{1});
  QStringList lines = boxes[0].text.split('\n');
  QCOMPARE(lines.size(), 4);
  QCOMPARE(lines[0] + "\n" + lines[1], Q(std::string(kTableNotOpened) + kNoExiste));
  lines.removeAt(1);
  QCOMPARE(lines[1], QString("Tabla: Configu.Dbf"));
  // "Carpeta: /tmp/...aaa…bbb/Mi Tribanor/General": its start and its end, the middle left out.
  const QString full = "Carpeta: " + Shown(deep + "/General");
  QVERIFY2(lines[2].contains(QChar(0x2026)), qPrintable(lines[2]));
  QVERIFY2(lines[2].size() < full.size(), qPrintable(lines[2]));
  const QStringList halves = lines[2].split(QChar(0x2026));
  QCOMPARE(halves.size(), 2);
  QVERIFY(halves[0].size() > QString("Carpeta: ").size());
  QVERIFY(full.startsWith(halves[0]));
  QVERIFY(full.endsWith(halves[1]));
  QVERIFY(halves[1].endsWith(Shown("/General")));
  // The whole text, with the whole path, in the details.
  QCOMPARE(boxes[0].details, Q(std::string(kTableNotOpened) + kNoExiste + "\nTabla: Configu.Dbf\n") + full);
  // Shown, the shortened line is not broken either.
  QStringList broken;
  auto previous = SetMessageBoxHook([&](QMessageBox& box) { broken += LinesTheBoxBreaks(box); });
  ShowErrorMessage(boxes[0].details);
  SetMessageBoxHook(previous);
  QCOMPARE(broken, QStringList());
}

QTEST_MAIN(MensajesTest)
#include "mensajes_test.moc"
