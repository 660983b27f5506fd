// "Visualizar" on installations that the test builds with the engine: the companies in the
// order of tag NOMBRE, the fiscal years following the selected company, the second click, a
// changed executable while the lists are open, a folder without "General", declared fields that
// the tables lack or hold with another kind, and capturas with the grids filled.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <QFile>
#include <QHeaderView>
#include <QProcess>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Unit1.h"
#include "app/core/Demo.h"
#include "engine/error.h"
#include "engine/storage.h"
#include "engine/table.h"
#include "wizard_test_util.h"

using namespace wizard;
using engine::TFieldType;
using wizard_test::MessageRecorder;

namespace {

struct Company {
  const char* name;
  std::vector<std::pair<const char*, const char*>> years;  // EJERCICIO, MONEDA
};

// Companies in the order they are written (not the order of the tag).
const std::vector<Company> kCompanies = {
    {"Muebles Ruiz", {{"2002", "PTA"}}},
    {"Aceites del Sur", {{"2003", "EUR"}, {"2001", "PTA"}}},
    {"Ferretería Gómez", {}},
    {"Bodegas Peña", {{"2005", "EUR"}, {"2004", "EUR"}}},
};
// The same companies in the order of tag NOMBRE.
const QStringList kSorted = {"Aceites del Sur", "Bodegas Peña", "Ferretería Gómez", "Muebles Ruiz"};

struct Options {
  const char* dropEmpresasField = nullptr;   // leave this declared field out of Empresas.DBF
  const char* textEmpresasField = nullptr;   // store this declared field as text
  const char* dropEjerciciosField = nullptr;
};

void AddEmpresasFields(engine::TFieldDefs& d, const Options& o) {
  auto add = [&](const char* name, TFieldType t, int size = 0) {
    if (o.dropEmpresasField && std::string(name) == o.dropEmpresasField) return;
    if (o.textEmpresasField && std::string(name) == o.textEmpresasField) t = TFieldType::ftString, size = 10;
    d.Add(name, t, size);
  };
  add("CODIGO", TFieldType::ftString, 4);
  add("NOMBRE", TFieldType::ftString, 50);
  for (const char* n : {"REGIMENFISCAL", "ACTIVIDAD", "NIVEL", "SEGURIDAD"}) add(n, TFieldType::ftSmallint);
  for (const char* n : {"NIF", "NIFREP"}) add(n, TFieldType::ftString, 12);
  for (const char* n : {"CODPOST", "CODADM", "CNAE", "IAE"}) add(n, TFieldType::ftString, 5);
  for (const char* n : {"TELEFONO", "FAX", "MOVIL"}) add(n, TFieldType::ftString, 15);
  add("REPRESENTANTE", TFieldType::ftString, 40);
  add("CARGO", TFieldType::ftString, 25);
  for (const char* n : {"DELEGACION", "ADMINISTRACION"}) add(n, TFieldType::ftString, 20);
  add("CCC", TFieldType::ftString, 23);
  add("OBSERVACIONES", TFieldType::ftMemo);
  add("LOGOTIPO", TFieldType::ftGraphic);
  add("AutoAjuste", TFieldType::ftBoolean);
  for (const char* n : {"DOMICILIO", "WWW", "EMAIL"}) add(n, TFieldType::ftString, 50);
  for (const char* n : {"LOCALIDAD", "PROVINCIA"}) add(n, TFieldType::ftString, 35);
  for (const char* n : {"BANCO", "OFICINA"}) add(n, TFieldType::ftString, 30);
  add("EXTRA", TFieldType::ftString, 8);  // further columns are ignored
}

void AddEjerciciosFields(engine::TFieldDefs& d, const Options& o) {
  auto add = [&](const char* name, TFieldType t, int size = 0) {
    if (o.dropEjerciciosField && std::string(name) == o.dropEjerciciosField) return;
    d.Add(name, t, size);
  };
  add("EMPRESA", TFieldType::ftString, 50);
  add("EJERCICIO", TFieldType::ftString, 4);
  add("MONEDA", TFieldType::ftString, 3);
  for (const char* n : {"FechaInicial", "FechaFinal", "DiarioMinima", "DiarioMaxima"}) add(n, TFieldType::ftDate);
}

// Creates the table of `t` from its FieldDefs and IndexDefs as a dBASE level 7 table, the level
// whose field names may be longer than 10 characters (REGIMENFISCAL, FechaInicial...).
void CreateLevel7(engine::TTable& t) {
  engine::TableDefinition def;
  def.format = engine::TableFormat::kDbase;
  def.level = 7;
  def.codepage = 1252;
  for (int i = 0; i < t.FieldDefs().Count(); ++i)
    def.fields.push_back(engine::SpecOfFieldDef(t.FieldDefs()[i], false, 7));
  for (int i = 0; i < t.IndexDefs().Count(); ++i) {
    engine::TagInfo tag;
    tag.name = t.IndexDefs()[i].Name;
    tag.expression = t.IndexDefs()[i].Expression;
    def.tags.push_back(tag);
  }
  try {
    engine::CreateStorage(t.DatabaseName() + "/" + t.TableName(), def);
  } catch (const engine::EngineError& e) {
    throw engine::EDBEngineError(e);
  }
}

// Builds root/General with both list tables and root/Tribanor.exe; returns the executable.
QString BuildInstallation(const QString& root, const std::vector<Company>& companies,
                          const Options& o = {}) {
  const std::string general = (root + "/General").toStdString();
  QDir().mkpath(root + "/General");
  {
    engine::TTable t;
    t.SetName("Empresas");
    t.SetDatabaseName(general);
    t.SetTableName("Empresas.DBF");
    AddEmpresasFields(t.FieldDefs(), o);
    t.IndexDefs().Add("NOMBRE", "NOMBRE");
    CreateLevel7(t);
    t.Open();
    for (const Company& c : companies) {
      t.Append();
      t.SetFieldValue("NOMBRE", engine::Value::Text(c.name));
      t.SetFieldValue("CODIGO", engine::Value::Text("0001"));
      t.Post();
    }
    t.Close();
  }
  {
    engine::TTable t;
    t.SetName("Ejercicios");
    t.SetDatabaseName(general);
    t.SetTableName("EJERCICI.DBF");
    AddEjerciciosFields(t.FieldDefs(), o);
    t.IndexDefs().Add("EMPRESA", "EMPRESA");
    CreateLevel7(t);
    t.Open();
    for (const Company& c : companies)
      for (const auto& [year, money] : c.years) {
        t.Append();
        t.SetFieldValue("EMPRESA", engine::Value::Text(c.name));
        t.SetFieldValue("EJERCICIO", engine::Value::Text(year));
        if (t.FieldDefs().IndexOf("MONEDA") >= 0) t.SetFieldValue("MONEDA", engine::Value::Text(money));
        t.SetFieldValue("FechaInicial", engine::Value::Date(engine::DayFromCivil(std::atoi(year), 1, 1)));
        t.Post();
      }
    t.Close();
  }
  const QString exe = root + "/Tribanor.exe";
  wizard_test::WriteFile(exe);
  return exe;
}

QStringList Column(QTableView* g, int col) {
  QStringList out;
  for (int r = 0; r < g->model()->rowCount(); ++r) out << g->model()->index(r, col).data().toString();
  return out;
}

// The fiscal years of the grid as "EJERCICIO MONEDA", sorted.
QStringList Years(QTableView* g) {
  QStringList out;
  for (int r = 0; r < g->model()->rowCount(); ++r)
    out << g->model()->index(r, 0).data().toString() + " " + g->model()->index(r, 1).data().toString();
  out.sort();
  return out;
}

void Choose(TForm1& f, const QString& exe) {
  f.EditDirectorio->SetDialogHook([exe](QWidget*, const BrowseRequest&) { return std::optional<QString>(exe); });
  f.EditDirectorio->Browse();
}

}  // namespace

class VisualizarTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void listsCompaniesAndFollowsTheSelection();
  void secondClickChangesNothing();
  void changedExecutableWhileOpen();
  void folderWithoutGeneral();
  void missingOrOtherKindOfDeclaredField();
  void capturasWithAnInstallation();
  void demoInstallation();

 private:
  bool Install();
  std::unique_ptr<QTemporaryDir> dir_;
  QString exe_;
};

void VisualizarTest::init() {
  dir_ = std::make_unique<QTemporaryDir>();
  QVERIFY(dir_->isValid());
  exe_.clear();
}

bool VisualizarTest::Install() {
  try {
    exe_ = BuildInstallation(dir_->filePath("Mi Tribanor"), kCompanies);
    return true;
  } catch (const engine::EDBEngineError& e) {
    if (e.ErrorCode() == engine::err::kNotSupported) return false;
    qWarning("%s", e.what());
    throw;
  }
}

// Builds the installation of kCompanies, or skips the test when this build has no dBASE tables.
#define REQUIRE_INSTALLATION()                                                           \
  do {                                                                                   \
    bool ok = false;                                                                     \
    try {                                                                                \
      ok = Install();                                                                    \
    } catch (const std::exception& e) {                                                  \
      QFAIL(e.what());                                                                   \
    }                                                                                    \
    if (!ok) QSKIP("dBASE tables or their indexes are not available in this build");     \
  } while (false)

void VisualizarTest::listsCompaniesAndFollowsTheSelection() {
  REQUIRE_INSTALLATION();
  TForm1 f;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  MessageRecorder rec;
  Choose(f, exe_);
  QCOMPARE(f.EditDirectorio->text(), "\"" + exe_ + "\"");
  f.TabSet1->setCurrentIndex(2);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList());
  QCOMPARE(QString::fromStdString(f.RutaPrograma), dir_->filePath("Mi Tribanor") + "/");
  QCOMPARE(QString::fromStdString(f.Empresas->DatabaseName()), dir_->filePath("Mi Tribanor") + "/General");
  QCOMPARE(f.Ejercicios->DatabaseName(), f.Empresas->DatabaseName());
  QVERIFY(f.Empresas->Active());
  QVERIFY(f.Ejercicios->Active());
  QCOMPARE(f.Notebook1->currentIndex(), 2);

  // Companies in tag order; the first is current and marked by the row indicator.
  QCOMPARE(Column(f.DBGrid1, 0), kSorted);
  QCOMPARE(f.DBGrid1->currentIndex().row(), 0);
  QCOMPARE(f.DBGrid1->model()->headerData(0, Qt::Vertical).toString(), QString::fromUtf8("\u25B6"));
  QCOMPARE(f.DBGrid1->model()->headerData(1, Qt::Vertical).toString(), QString());
  QCOMPARE(Years(f.DBGrid2), (QStringList{"2001 PTA", "2003 EUR"}));

  // Selecting another company refills the fiscal years.
  f.DBGrid1->setCurrentIndex(f.DBGrid1->model()->index(1, 0));
  QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), QString::fromUtf8("Bodegas Peña"));
  QCOMPARE(Years(f.DBGrid2), (QStringList{"2004 EUR", "2005 EUR"}));
  QCOMPARE(f.DBGrid1->model()->headerData(1, Qt::Vertical).toString(), QString::fromUtf8("\u25B6"));
  f.DBGrid1->setCurrentIndex(f.DBGrid1->model()->index(2, 0));
  QCOMPARE(f.DBGrid2->model()->rowCount(), 0);
  // With the keyboard.
  f.DBGrid1->setFocus();
  QTest::keyClick(f.DBGrid1, Qt::Key_Down);
  QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), QString("Muebles Ruiz"));
  QCOMPARE(Years(f.DBGrid2), QStringList{"2002 PTA"});
  // A move of the table itself moves the grid.
  f.Empresas->First();
  QCOMPARE(f.DBGrid1->currentIndex().row(), 0);
  QCOMPARE(Years(f.DBGrid2), (QStringList{"2001 PTA", "2003 EUR"}));
  // Selecting a fiscal year moves the detail table.
  f.DBGrid2->setCurrentIndex(f.DBGrid2->model()->index(1, 0));
  QCOMPARE(f.Ejercicios->RecNo(), 2);
  QCOMPARE(QString::fromStdString(f.EjerciciosEJERCICIO->AsString()),
           f.DBGrid2->model()->index(1, 0).data().toString());
}

void VisualizarTest::secondClickChangesNothing() {
  REQUIRE_INSTALLATION();
  TForm1 f;
  MessageRecorder rec;
  Choose(f, exe_);
  f.Button3Click();
  f.DBGrid1->setCurrentIndex(f.DBGrid1->model()->index(3, 0));
  const QStringList years = Years(f.DBGrid2);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList());
  QCOMPARE(Column(f.DBGrid1, 0), kSorted);
  QCOMPARE(f.DBGrid1->currentIndex().row(), 3);
  QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), QString("Muebles Ruiz"));
  QCOMPARE(Years(f.DBGrid2), years);
}

void VisualizarTest::changedExecutableWhileOpen() {
  REQUIRE_INSTALLATION();
  QString other;
  try {
    other = BuildInstallation(dir_->filePath("Otra"), {{"Zumos Soler", {{"2006", "EUR"}}}});
  } catch (const std::exception& e) {
    QFAIL(e.what());
  }
  TForm1 f;
  MessageRecorder rec;
  Choose(f, exe_);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList());
  const std::string firstFolder = f.Empresas->DatabaseName();
  Choose(f, other);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8(
                            "Empresas: No se puede realizar esta operación en una fuente de datos abierta")});
  QCOMPARE(rec.boxes().at(0).icon, QMessageBox::Critical);
  QCOMPARE(rec.boxes().at(0).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  // RutaPrograma already holds the new folder; the grids still show the first installation.
  QCOMPARE(QString::fromStdString(f.RutaPrograma), dir_->filePath("Otra") + "/");
  QCOMPARE(f.Empresas->DatabaseName(), firstFolder);
  QCOMPARE(f.Ejercicios->DatabaseName(), firstFolder);
  QCOMPARE(Column(f.DBGrid1, 0), kSorted);
  QVERIFY(f.Empresas->Active());
}

void VisualizarTest::folderWithoutGeneral() {
  const QString lone = dir_->filePath("Suelto/Tribanor.exe");
  QVERIFY(wizard_test::WriteFile(lone));
  TForm1 f;
  MessageRecorder rec;
  Choose(f, lone);
  f.TabSet1->setCurrentIndex(2);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  // The path check passes; the opening fails with the engine's error, shown once.
  QCOMPARE(rec.boxes().size(), size_t{1});
  QCOMPARE(rec.boxes()[0].icon, QMessageBox::Critical);
  QVERIFY(!rec.boxes()[0].text.isEmpty());
  QVERIFY(rec.boxes()[0].text != QString::fromUtf8(
      "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada"));
  QCOMPARE(QString::fromStdString(f.RutaPrograma), dir_->filePath("Suelto") + "/");
  QVERIFY(!f.Empresas->Active());
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(f.DBGrid1->model()->rowCount(), 0);
  // The window stays usable: the right executable lists the companies.
  REQUIRE_INSTALLATION();
  rec.clear();
  Choose(f, exe_);
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList());
  QCOMPARE(Column(f.DBGrid1, 0), kSorted);
}

void VisualizarTest::missingOrOtherKindOfDeclaredField() {
  REQUIRE_INSTALLATION();
  struct Case {
    Options options;
    QString message;
    bool empresasOpen;
  };
  const std::vector<Case> cases = {
      {{"CCC", nullptr, nullptr}, "Empresas: No se encuentra el campo 'CCC'", false},
      {{nullptr, "NIVEL", nullptr},
       QString::fromUtf8("Empresas: El campo 'NIVEL' no es del tipo esperado %1, es %2")
           .arg(engine::FieldTypeName(TFieldType::ftSmallint), engine::FieldTypeName(TFieldType::ftString)),
       false},
      {{nullptr, nullptr, "MONEDA"}, "Ejercicios: No se encuentra el campo 'MONEDA'", true},
  };
  int n = 0;
  for (const Case& c : cases) {
    QString exe;
    try {
      exe = BuildInstallation(dir_->filePath(QString("caso%1").arg(n++)), kCompanies, c.options);
    } catch (const std::exception& e) {
      QFAIL(e.what());
    }
    TForm1 f;
    MessageRecorder rec;
    Choose(f, exe);
    QTest::mouseClick(f.Button3, Qt::LeftButton);
    // The engine's text, then the table and its folder.
    const QString table = c.empresasOpen ? "EJERCICI.DBF" : "Empresas.DBF";
    const QString folder = QDir::toNativeSeparators(QFileInfo(exe).absolutePath() + "/General");
    QCOMPARE(rec.texts(), QStringList{c.message + "\nTabla: " + table + "\nCarpeta: " + folder});
    QCOMPARE(f.Empresas->Active(), c.empresasOpen);  // a table opened before the error stays open
    QVERIFY(!f.Ejercicios->Active());
    QCOMPARE(f.DBGrid2->model()->rowCount(), 0);
    QCOMPARE(f.DBGrid1->model()->rowCount(), c.empresasOpen ? 4 : 0);
  }
}

void VisualizarTest::capturasWithAnInstallation() {
  REQUIRE_INSTALLATION();
  const QString out = dir_->filePath("capturas");
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  p.setProcessEnvironment(env);
  p.start(ACTUALIZA_CAPTURAS, {out, exe_});
  QVERIFY(p.waitForFinished(60000));
  QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
  for (int i = 1; i <= 3; ++i) {
    QImage img(QString("%1/pagina%2.png").arg(out).arg(i));
    QCOMPARE(img.size(), QSize(487, 271));
  }
  // Without an installation the third page differs (empty grids).
  p.start(ACTUALIZA_CAPTURAS, {out + "2"});
  QVERIFY(p.waitForFinished(60000));
  QCOMPARE(p.exitCode(), 0);
  QVERIFY(QImage(out + "/pagina3.png") != QImage(out + "2/pagina3.png"));
  QVERIFY(QImage(out + "/pagina2.png") == QImage(out + "2/pagina2.png"));
}

// The demo installation of the upgrade programs: the window lists its companies in tag order
// and the fiscal years of each one.
void VisualizarTest::demoInstallation() {
  actualiza::DemoSummary demo;
  try {
    demo = actualiza::WriteDemoInstallation(dir_->filePath("demo").toStdString());
  } catch (const std::exception& e) {
    QFAIL(e.what());
  }
  TForm1 f;
  MessageRecorder rec;
  Choose(f, QString::fromStdString(demo.executable));
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList());
  QStringList expected;
  for (const std::string& c : demo.companies) expected << QString::fromStdString(c);
  QCOMPARE(Column(f.DBGrid1, 0), expected);
  int years = 0;
  for (int row = 0; row < f.DBGrid1->model()->rowCount(); ++row) {
    f.DBGrid1->setCurrentIndex(f.DBGrid1->model()->index(row, 0));
    QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), expected[row]);
    years += f.DBGrid2->model()->rowCount();
    for (int y = 0; y < f.DBGrid2->model()->rowCount(); ++y)
      QVERIFY(!f.DBGrid2->model()->index(y, 0).data().toString().isEmpty());
  }
  QCOMPARE(years, demo.fiscal_years);
}

QTEST_MAIN(VisualizarTest)
#include "visualizar_test.moc"
