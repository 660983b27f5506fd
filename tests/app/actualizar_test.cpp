// "&Actualizar" on the window: the whole run through Button1Click on installations the test
// builds, with the message boxes caught.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Unit1.h"
#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "wizard_test_util.h"

using namespace wizard;
using wizard_test::MessageRecorder;

namespace {

// Chooses the executable through the browse dialog, answered by the test.
void Choose(TForm1& f, const QString& exe) {
  f.EditDirectorio->SetDialogHook([exe](QWidget*, const BrowseRequest&) { return std::optional<QString>(exe); });
  f.EditDirectorio->Browse();
}

std::vector<std::string> FieldNames(const std::string& path) {
  auto st = engine::OpenStorage(path, engine::TableFormat::kDbase, {false, true});
  std::vector<std::string> out;
  for (const auto& f : st->Fields()) out.push_back(f.name);
  return out;
}

}  // namespace

class ActualizarTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void upgradesTheDemoShowsTheMessageAndCloses();
  void missingExecutableStopsAtThePathCheck();
  void afterVisualizarWithTheSameExecutable();
  void afterVisualizarWithAnotherExecutable();
  void anErrorIsShownAndTheWindowStaysForASecondRun();

 private:
  actualiza::DemoSummary Demo(const QString& name);
  std::unique_ptr<QTemporaryDir> dir_;
};

void ActualizarTest::init() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
}

actualiza::DemoSummary ActualizarTest::Demo(const QString& name) {
  actualiza::DemoOptions o;
  o.customers = 12;
  return actualiza::WriteDemoInstallation(dir_->filePath(name).toStdString(), o);
}

void ActualizarTest::upgradesTheDemoShowsTheMessageAndCloses() {
  auto demo = Demo("Mi Tribanor");
  TForm1 f;
  f.show();
  MessageRecorder rec;
  Choose(f, QString::fromStdString(demo.executable));
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8("Proceso de Actualización Finalizado")});
  QCOMPARE(rec.boxes().at(0).icon, QMessageBox::NoIcon);
  QCOMPARE(rec.boxes().at(0).buttonCount, 1);
  QCOMPARE(f.LabelAccion->text(), QString(46, ' '));
  QVERIFY(!f.isVisible());  // the window closed: the program ends
  QVERIFY(actualiza::ComprobarInstalacion(demo.executable).AlDia());
  QCOMPARE(QString::fromStdString(f.RutaPrograma), dir_->filePath("Mi Tribanor") + "/");
}

void ActualizarTest::missingExecutableStopsAtThePathCheck() {
  TForm1 f;
  f.show();
  MessageRecorder rec;
  Choose(f, dir_->filePath("nada/Tribanor.exe"));
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8(
                            "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada")});
  QVERIFY(f.isVisible());
  QVERIFY(f.RutaPrograma.empty());
  QVERIFY(!f.Empresas->Active());
}

void ActualizarTest::afterVisualizarWithTheSameExecutable() {
  auto demo = Demo("demo");
  TForm1 f;
  f.show();
  MessageRecorder rec;
  Choose(f, QString::fromStdString(demo.executable));
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QVERIFY(f.Empresas->Active());
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8("Proceso de Actualización Finalizado")});
  QVERIFY(actualiza::ComprobarInstalacion(demo.executable).AlDia());
}

void ActualizarTest::afterVisualizarWithAnotherExecutable() {
  auto first = Demo("uno");
  auto second = Demo("dos");
  TForm1 f;
  f.show();
  MessageRecorder rec;
  Choose(f, QString::fromStdString(first.executable));
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  Choose(f, QString::fromStdString(second.executable));
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8(
                            "Empresas: No se puede realizar esta operación en una fuente de datos abierta")});
  QVERIFY(f.isVisible());
  // Nothing was upgraded, although RutaPrograma holds the new folder.
  QCOMPARE(QString::fromStdString(f.RutaPrograma), dir_->filePath("dos") + "/");
  QVERIFY(!actualiza::ComprobarInstalacion(second.executable).AlDia());
  QVERIFY(!actualiza::ComprobarInstalacion(first.executable).AlDia());
}

void ActualizarTest::anErrorIsShownAndTheWindowStaysForASecondRun() {
  auto demo = Demo("demo");
  const std::string root = dir_->filePath("demo").toStdString();
  // A fiscal-year folder that the lists name is missing on disk.
  const std::string gone = root + "/Empresas/" + demo.companies[1] + "/Ejercicio2003";
  const std::string aside = root + "/aparte";
  // Through Qt: std::filesystem would read these UTF-8 bytes in the ANSI code page on Windows.
  QVERIFY(QDir().rename(QString::fromStdString(gone), QString::fromStdString(aside)));
  TForm1 f;
  f.show();
  MessageRecorder rec;
  Choose(f, QString::fromStdString(demo.executable));
  const QString label = f.LabelAccion->text();
  const auto fields = FieldNames(root + "/Empresa/Clientes.Dbf");
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts().size(), 1);
  QVERIFY2(rec.texts()[0].contains("Ejercicio2003"), qPrintable(rec.texts()[0]));
  QVERIFY(f.isVisible());
  QVERIFY(!f.Fichero->Active());
  // Found before the first change: no step ran, the label keeps its text, no table changed.
  QCOMPARE(f.LabelAccion->text(), label);
  QCOMPARE(FieldNames(root + "/Empresa/Clientes.Dbf"), fields);
  // Put the folder back; the same window finishes the work.
  QVERIFY(QDir().rename(QString::fromStdString(aside), QString::fromStdString(gone)));
  rec.clear();
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8("Proceso de Actualización Finalizado")});
  QVERIFY(actualiza::ComprobarInstalacion(demo.executable).AlDia());
}

QTEST_MAIN(ActualizarTest)
#include "actualizar_test.moc"
