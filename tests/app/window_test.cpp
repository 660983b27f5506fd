// The wizard window: frame, controls (names, places, sizes, texts, colours, settings), pages and
// tab strip, the rich text of the second page, the grids' settings, the path check and its
// messages, "Visualizar" without a valid executable, "Salir" and the error handler.
#include <QApplication>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>
#include <QtTest>

#include "app/Dialogs.h"
#include "app/TableModel.h"
#include "app/Unit1.h"
#include "app/WinXP.h"
#include "wizard_test_util.h"

using namespace wizard;
using wizard_test::MessageRecorder;

namespace {
const QString kNotFound = QString::fromUtf8(
    "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada");
const QString kChooseFolder = "Seleccione la ruta en la que tiene instalado el programa";
const QColor kNavy(0, 0, 128);
}  // namespace

class WindowTest : public QObject {
  Q_OBJECT
 private slots:
  void frame();
  void controls_data();
  void controls();
  void labelsAndColours();
  void tabStrip();
  void tabOrder();
  void tabsSelectPages();
  void richText();
  void grids();
  void progressLabelGrowsWithItsText();
  void pathCheck();
  void pathCheckRefusesAFolder();
  void visualizarWithoutExecutable();
  void salirClosesTheWindow();
  void escapingErrorsAreShown();
  void actualizarChecksThePathFirst();
  void spanishStandardTexts();
  void oneWinXP();
};

void WindowTest::frame() {
  TForm1 f;
  QCOMPARE(f.objectName(), QString("Form1"));
  QCOMPARE(f.windowTitle(), QString::fromUtf8("Actualización Ficheros Vendimar"));
  QCOMPARE(f.size(), QSize(487, 271));
  QCOMPARE(f.minimumSize(), QSize(487, 271));
  QCOMPARE(f.maximumSize(), QSize(487, 271));
  const Qt::WindowFlags fl = f.windowFlags();
  QVERIFY(fl.testFlag(Qt::Dialog));
  QVERIFY(fl.testFlag(Qt::CustomizeWindowHint));
  QVERIFY(fl.testFlag(Qt::WindowCloseButtonHint));
  QVERIFY(!fl.testFlag(Qt::WindowMinimizeButtonHint));
  QVERIFY(!fl.testFlag(Qt::WindowMaximizeButtonHint));
  QVERIFY(f.isWindow());
  QCOMPARE(f.palette().color(QPalette::Window), QColor(255, 255, 255));
  QCOMPARE(f.font().pixelSize(), 11);
  QCOMPARE(f.font().families().value(0), QString("MS Sans Serif"));
  QVERIFY(!f.font().bold());
  // Centred on the screen.
  const QRect screen = f.screen()->availableGeometry();
  QVERIFY(qAbs(f.geometry().center().x() - screen.center().x()) <= 1);
  QVERIFY(qAbs(f.geometry().center().y() - screen.center().y()) <= 1);
  QVERIFY(!f.windowIcon().isNull());
  QVERIFY(f.RutaPrograma.empty());
}

void WindowTest::controls_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("parentName");
  QTest::addColumn<QRect>("geometry");
  QTest::addColumn<QString>("text");
  const QString none;
  QTest::newRow("Panel1") << "Panel1" << "Form1" << QRect(0, 0, 487, 41) << none;
  QTest::newRow("Label1") << "Label1" << "Panel1" << QRect(112, 9, 260, 20)
                          << QString::fromUtf8("Actualización Ficheros Tribanor");
  QTest::newRow("Image2") << "Image2" << "Panel1" << QRect(25, 3, 32, 32) << none;
  QTest::newRow("Notebook1") << "Notebook1" << "Form1" << QRect(0, 41, 487, 209) << none;
  QTest::newRow("TabSet1") << "TabSet1" << "Form1" << QRect(0, 250, 487, 21) << none;
  QTest::newRow("Label2") << "Label2" << "Actualizar" << QRect(16, 24, 458, 65)
                          << QString::fromUtf8(
                                 "Bienvenido al programa de Actualización de Ficheros de Tribanor. "
                                 "Este programa se encarga de actualizar los ficheros que utiliza "
                                 "Tribanor, asegurando la coherencia de  los mismos. Actualiza "
                                 "automáticamente las estructuras de ficheros desde la versión 1.1 "
                                 "en adelante. Si tiene una versión de Tribanr anterior a la 1.1, "
                                 "por favor, póngase en contacto con Morvane para realizar el "
                                 "proceso de actualización.");
  QTest::newRow("Label3") << "Label3" << "Actualizar" << QRect(17, 107, 378, 13)
                          << "Por favor, seleccione la carpeta en la que tenga instalado el programa Tribanor:";
  QTest::newRow("EditDirectorio")
      << "EditDirectorio" << "Actualizar" << QRect(16, 123, 449, 21)
      << "\"C:\\Archivos de programa\\Morvane\\Morvane Tribanor\\Tribanor.exe\"";
  QTest::newRow("Button1") << "Button1" << "Actualizar" << QRect(151, 156, 75, 25) << "&Actualizar";
  QTest::newRow("Button2") << "Button2" << "Actualizar" << QRect(239, 156, 75, 25) << "&Salir";
  QTest::newRow("LabelAccion") << "LabelAccion" << "Actualizar" << QRect(19, 184, 29, 13) << "       ";
  QTest::newRow("RichEdit1") << "RichEdit1" << "Informacion" << QRect(0, 0, 487, 209) << none;
  QTest::newRow("Button3") << "Button3" << "Estructura" << QRect(195, 159, 75, 25) << "Visualizar";
  QTest::newRow("company grid") << "DBGrid1" << "Estructura" << QRect(8, 8, 320, 143) << none;
  QTest::newRow("fiscal-year grid") << "DBGrid2" << "Estructura" << QRect(332, 8, 145, 143) << none;
}

void WindowTest::controls() {
  QFETCH(QString, name);
  QFETCH(QString, parentName);
  QFETCH(QRect, geometry);
  QFETCH(QString, text);
  TForm1 f;
  const auto found = f.findChildren<QWidget*>(name);
  QCOMPARE(found.size(), 1);
  QWidget* w = found.first();
  QVERIFY(w->parentWidget() != nullptr);
  QCOMPARE(w->parentWidget()->objectName(), parentName);
  QCOMPARE(w->geometry(), geometry);
  if (!text.isNull()) {
    if (auto* l = qobject_cast<QLabel*>(w)) QCOMPARE(l->text(), text);
    else if (auto* b = qobject_cast<QPushButton*>(w)) QCOMPARE(b->text(), text);
    else if (auto* e = qobject_cast<QLineEdit*>(w)) QCOMPARE(e->text(), text);
    else QFAIL("control with a text of an unexpected class");
  }
}

void WindowTest::labelsAndColours() {
  TForm1 f;
  QCOMPARE(f.Panel1->palette().color(QPalette::Window), QColor(249, 174, 153));
  QVERIFY(f.Panel1->autoFillBackground());
  QCOMPARE(f.Label1->palette().color(QPalette::WindowText), kNavy);
  QVERIFY(f.Label1->font().bold());
  QCOMPARE(f.Label1->font().pixelSize(), 16);
  QCOMPARE(f.Image2->pixmap().size(), QSize(32, 32));
  QVERIFY(f.Label2->wordWrap());
  QCOMPARE(f.Label2->palette().color(QPalette::WindowText), QColor(Qt::black));
  QCOMPARE(f.Label3->palette().color(QPalette::WindowText), kNavy);
  QVERIFY(!f.Label3->font().bold());
  QCOMPARE(f.LabelAccion->palette().color(QPalette::WindowText), kNavy);
  QVERIFY(f.LabelAccion->font().bold());
  QCOMPARE(f.LabelAccion->font().pixelSize(), 11);
  // Controls that say nothing of their font inherit the window's.
  QCOMPARE(f.Button1->font().pixelSize(), 11);
  QVERIFY(!f.Button1->font().bold());
  QVERIFY(f.EditDirectorio->isReadOnly());
  QVERIFY(f.EditDirectorio->BrowseButton()->isVisibleTo(f.EditDirectorio));
  // The browse button takes the focus from the keyboard only (a click leaves it on the edit).
  QVERIFY(f.EditDirectorio->BrowseButton()->focusPolicy() == Qt::TabFocus);
  // One-line texts fit their controls in the font actually used (legible without MS Sans Serif).
  for (QLabel* l : {f.Label1, f.Label3})
    QVERIFY2(QFontMetrics(l->font()).horizontalAdvance(l->text()) <= l->width(),
             qPrintable(QString("%1: %2 pixels in %3, %4 wide").arg(l->objectName())
                            .arg(QFontMetrics(l->font()).horizontalAdvance(l->text()))
                            .arg(QFontInfo(l->font()).family()).arg(l->width())));
  for (QPushButton* b : {f.Button1, f.Button2, f.Button3})
    QVERIFY2(QFontMetrics(b->font()).horizontalAdvance(QString(b->text()).remove('&')) < b->width() - 8,
             qPrintable(b->objectName()));
  // The welcome text fits its 65 pixels when wrapped to its width.
  QVERIFY(QFontMetrics(f.Label2->font())
              .boundingRect(QRect(0, 0, f.Label2->width(), 1000), Qt::TextWordWrap, f.Label2->text())
              .height() <= f.Label2->height());
  // The header image is the program's 16-colour picture.
  const QImage img = f.Image2->pixmap().toImage();
  QSet<QRgb> colours;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) colours.insert(img.pixel(x, y));
  QVERIFY(colours.size() >= 3);
  QVERIFY(colours.size() <= 17);  // 16 colours and transparency
}

void WindowTest::tabStrip() {
  TForm1 f;
  QCOMPARE(f.TabSet1->count(), 3);
  QCOMPARE(f.TabSet1->tabText(0), QString(" Actualizar "));
  QCOMPARE(f.TabSet1->tabText(1), QString::fromUtf8(" Información adicional"));
  QCOMPARE(f.TabSet1->tabText(2), QString(" Estructura Empresas "));
  QCOMPARE(f.TabSet1->shape(), QTabBar::RoundedSouth);
  QCOMPARE(f.TabSet1->currentIndex(), 0);
  QCOMPARE(f.Notebook1->count(), 3);
  QCOMPARE(f.Notebook1->currentIndex(), 0);
}

namespace {
// The next control that the Tab key reaches from w (skipping controls that take no focus, such
// as a grid's own parts).
QWidget* NextTabStop(QWidget* w) {
  for (QWidget* n = w->nextInFocusChain(); n != nullptr && n != w; n = n->nextInFocusChain()) {
    if ((n->focusPolicy() & Qt::TabFocus) != 0) return n;
  }
  return nullptr;
}
}  // namespace

void WindowTest::tabOrder() {
  TForm1 f;
  QCOMPARE(NextTabStop(f.EditDirectorio), static_cast<QWidget*>(f.EditDirectorio->BrowseButton()));
  QCOMPARE(NextTabStop(f.EditDirectorio->BrowseButton()), static_cast<QWidget*>(f.Button1));
  QCOMPARE(NextTabStop(f.Button1), static_cast<QWidget*>(f.Button2));
  QCOMPARE(NextTabStop(f.Button3), static_cast<QWidget*>(f.DBGrid1));
  QCOMPARE(NextTabStop(f.DBGrid1), static_cast<QWidget*>(f.DBGrid2));
  QCOMPARE(NextTabStop(f.DBGrid2), static_cast<QWidget*>(f.TabSet1));
  for (QTableView* g : {f.DBGrid1, f.DBGrid2}) QVERIFY(!g->tabKeyNavigation());
}

void WindowTest::tabsSelectPages() {
  TForm1 f;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QVERIFY(f.Label2->isVisible());
  for (int i : {1, 2, 0, 2}) {
    f.TabSet1->setCurrentIndex(i);
    QCOMPARE(f.Notebook1->currentIndex(), i);
  }
  QVERIFY(f.Button3->isVisible());
  QVERIFY(!f.Button1->isVisible());
  QVERIFY(!f.RichEdit1->isVisible());
  // A mouse click on a tab.
  QTest::mouseClick(f.TabSet1, Qt::LeftButton, {}, f.TabSet1->tabRect(1).center());
  QCOMPARE(f.TabSet1->currentIndex(), 1);
  QCOMPARE(f.Notebook1->currentIndex(), 1);
  QVERIFY(f.RichEdit1->isVisible());
  QVERIFY(!f.Button3->isVisible());
  // FormCreate selects the first page again.
  f.FormCreate();
  QCOMPARE(f.Notebook1->currentIndex(), 0);
}

void WindowTest::richText() {
  TForm1 f;
  QTextEdit* r = f.RichEdit1;
  QVERIFY(r->isReadOnly());
  QCOMPARE(r->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  QCOMPARE(r->document()->documentMargin(), 10.0);
  QVERIFY(!(r->textInteractionFlags() & Qt::LinksAccessibleByMouse));
  struct Run { QString text; bool bold; QColor colour; };
  const QColor black(Qt::black), red(255, 0, 0);
  const std::vector<std::vector<Run>> expected = {
      {{QString::fromUtf8("El programa de actualización realiza los siguientes cambios:"), false, black}},
      {},
      {{"\\General", true, black}},
      {},
      {},
      {{"\\Empresa", true, black}},
      {{"Existencias.Dbf", false, kNavy}, {" Crea el fichero completo.", false, black}},
      {},
      {{"\\Empresas ", true, black},
       {"Realiza los cambios en TODAS las empresas y ejercicios existentes.", false, red}},
      {{"Existencias..Dbf", false, kNavy}, {" Crea el fichero completo.", false, black}},
      {},
  };
  QCOMPARE(r->document()->blockCount(), static_cast<int>(expected.size()));
  QTextBlock b = r->document()->begin();
  for (size_t line = 0; line < expected.size(); ++line, b = b.next()) {
    std::vector<Run> got;
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment frag = it.fragment();
      const QTextCharFormat fmt = frag.charFormat();
      got.push_back({frag.text(), fmt.fontWeight() >= QFont::Bold, fmt.foreground().color()});
    }
    QVERIFY2(got.size() == expected[line].size(), qPrintable(QString("line %1").arg(line + 1)));
    for (size_t i = 0; i < got.size(); ++i) {
      QCOMPARE(got[i].text, expected[line][i].text);
      QCOMPARE(got[i].bold, expected[line][i].bold);
      QCOMPARE(got[i].colour, expected[line][i].colour);
    }
  }
}

void WindowTest::grids() {
  TForm1 f;
  for (QTableView* g : {f.DBGrid1, f.DBGrid2}) {
    QCOMPARE(g->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(g->showGrid());
    QVERIFY(g->horizontalHeader()->isVisible() || !g->horizontalHeader()->isHidden());
    QVERIFY(!g->horizontalHeader()->sectionsClickable());
    QCOMPARE(g->horizontalHeader()->sectionResizeMode(0), QHeaderView::Interactive);
    QVERIFY(g->horizontalHeader()->defaultAlignment() & Qt::AlignLeft);
    QVERIFY(!g->verticalHeader()->isHidden());  // the row indicator
    QCOMPARE(g->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    // Closed tables: no rows, no edits.
    QCOMPARE(g->model()->rowCount(), 0);
  }
  QAbstractItemModel* m1 = f.DBGrid1->model();
  QCOMPARE(m1->columnCount(), 1);
  QCOMPARE(m1->headerData(0, Qt::Horizontal).toString(), QString("Empresa"));
  QAbstractItemModel* m2 = f.DBGrid2->model();
  QCOMPARE(m2->columnCount(), 2);
  QCOMPARE(m2->headerData(0, Qt::Horizontal).toString(), QString("EJERCICIO"));
  QCOMPARE(m2->headerData(1, Qt::Horizontal).toString(), QString("MONEDA"));
  // Widths follow the characters: 50 for the company name, 4 and 3 (or the title) for the others.
  const int digit = QFontMetrics(f.DBGrid1->font()).horizontalAdvance('0');
  QVERIFY(f.DBGrid1->columnWidth(0) >= 50 * digit);
  QVERIFY(f.DBGrid1->columnWidth(0) <= 50 * digit + 8);
  QVERIFY(f.DBGrid2->columnWidth(0) < f.DBGrid1->columnWidth(0) / 4);
  // Declared fields: everything but NOMBRE, EJERCICIO and MONEDA is hidden.
  QVERIFY(f.EmpresasNOMBRE->Visible());
  QVERIFY(f.EmpresasNOMBRE->Required());
  QCOMPARE(f.EmpresasNOMBRE->Size(), 50);
  QCOMPARE(f.EmpresasNOMBRE->DisplayLabel(), std::string("Empresa"));
  QVERIFY(f.EjerciciosEJERCICIO->Visible());
  QVERIFY(f.EjerciciosMONEDA->Visible());
  QVERIFY(!f.EjerciciosEMPRESA->Visible());
  // Table objects and their settings.
  QCOMPARE(f.Empresas->TableName(), std::string("Empresas.DBF"));
  QCOMPARE(f.Empresas->IndexName(), std::string("NOMBRE"));
  QCOMPARE(f.Ejercicios->TableName(), std::string("EJERCICI.DBF"));
  QCOMPARE(f.Ejercicios->IndexName(), std::string("EMPRESA"));
  QCOMPARE(f.Ejercicios->MasterSource(), f.DS_Empresas);
  QCOMPARE(f.Ejercicios->MasterFields(), std::string("NOMBRE"));
  QCOMPARE(f.DS_Empresas->DataSet(), static_cast<engine::TDataSet*>(f.Empresas));
  QCOMPARE(f.DS_Ejercicios->DataSet(), static_cast<engine::TDataSet*>(f.Ejercicios));
  QVERIFY(!f.Empresas->Active());
  QVERIFY(!f.Ejercicios->Active());
  QVERIFY(!f.Fichero->Active());
  QVERIFY(f.Fichero->TableName().empty());
  QCOMPARE(f.Empresas->Name(), std::string("Empresas"));
  QCOMPARE(f.Ejercicios->Name(), std::string("Ejercicios"));
}

void WindowTest::progressLabelGrowsWithItsText() {
  TForm1 f;
  const QString text = QString::fromUtf8("EMPRESA DE PRUEBA 2004") + QString(43, ' ');
  f.SetAccion(text);
  QCOMPARE(f.LabelAccion->text(), text);
  QCOMPARE(f.LabelAccion->pos(), QPoint(19, 184));
  QCOMPARE(f.LabelAccion->width(), QFontMetrics(f.LabelAccion->font()).horizontalAdvance(text));
  QVERIFY(f.LabelAccion->width() > 29);
}

void WindowTest::pathCheck() {
  QTemporaryDir dir;
  QVERIFY(dir.isValid());
  const QString exe = dir.filePath("Mi Tribanor/Tribanor.exe");
  const QString other = dir.filePath("Otro.bin");
  QVERIFY(wizard_test::WriteFile(exe));
  QVERIFY(wizard_test::WriteFile(other));
  TForm1 f;
  MessageRecorder rec;
  // The initial text names a file that does not exist here.
  QVERIFY(!f.CompruebaRuta());
  QCOMPARE(rec.texts(), QStringList{kNotFound});
  const auto& box = rec.boxes().at(0);
  QCOMPARE(box.icon, QMessageBox::NoIcon);
  QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  QCOMPARE(box.buttonCount, 1);
  QCOMPARE(box.caption, ApplicationTitle());
  QCOMPARE(box.caption, QString("wizard_window_test"));  // this program's file name
  QVERIFY(box.parentless);
  rec.clear();
  // Quoted name with a blank: passes, no message.
  f.EditDirectorio->setText("\"" + exe + "\"");
  QVERIFY(f.CompruebaRuta());
  // Unquoted name with a blank that exists as a whole.
  f.EditDirectorio->setText(exe);
  QVERIFY(f.CompruebaRuta());
  // Any existing file passes, whatever its name.
  f.EditDirectorio->setText(other);
  QVERIFY(f.CompruebaRuta());
  QVERIFY(rec.boxes().empty());
  // A missing file in an existing folder fails.
  f.EditDirectorio->setText(dir.filePath("Tribanor.exe"));
  QVERIFY(!f.CompruebaRuta());
  QCOMPARE(rec.texts(), QStringList{kNotFound});
  QVERIFY(f.RutaPrograma.empty());
}

void WindowTest::pathCheckRefusesAFolder() {
  QTemporaryDir dir;
  QVERIFY(QDir(dir.path()).mkdir("Tribanor.exe"));
  TForm1 f;
  MessageRecorder rec;
  f.EditDirectorio->setText(dir.filePath("Tribanor.exe"));
  QVERIFY(!f.CompruebaRuta());
  QCOMPARE(rec.texts(), QStringList{kNotFound});
}

void WindowTest::visualizarWithoutExecutable() {
  TForm1 f;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QApplication::setActiveWindow(&f);
  QVERIFY(QTest::qWaitForWindowActive(&f));
  MessageRecorder rec;
  f.TabSet1->setCurrentIndex(2);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  f.Button3->setFocus();
  QTest::mouseClick(f.Button3, Qt::LeftButton);
  // Two messages in a row, the first page shown, the tab strip still on the third tab.
  QCOMPARE(rec.texts(), (QStringList{kNotFound, kChooseFolder}));
  for (const auto& b : rec.boxes()) {
    QCOMPARE(b.icon, QMessageBox::NoIcon);
    QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
  }
  QCOMPARE(f.Notebook1->currentIndex(), 0);
  QCOMPARE(f.TabSet1->currentIndex(), 2);
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.EditDirectorio));
  QVERIFY(f.RutaPrograma.empty());
  QVERIFY(!f.Empresas->Active());
  QVERIFY(f.Empresas->DatabaseName().empty());
}

void WindowTest::salirClosesTheWindow() {
  TForm1 f;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QVERIFY(f.testAttribute(Qt::WA_QuitOnClose));
  // The window is the program's last one: "&Salir" ends the message loop.
  QVERIFY(QGuiApplication::quitOnLastWindowClosed());
  QTimer::singleShot(0, &f, [&f] { QTest::mouseClick(f.Button2, Qt::LeftButton); });
  QTimer guard;  // the loop did not end: fail instead of hanging
  guard.setSingleShot(true);
  connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(7); });
  guard.start(10000);
  QCOMPARE(QApplication::exec(), 0);
  QVERIFY(!f.isVisible());
}

void WindowTest::escapingErrorsAreShown() {
  MessageRecorder rec;
  RunHandler([] { throw engine::EDatabaseError(
      "Empresas: No se puede realizar esta operación en una fuente de datos abierta"); });
  RunHandler([] { throw std::runtime_error("fallo"); });
  int after = 0;
  RunHandler([&] { ++after; });
  QCOMPARE(after, 1);
  QCOMPARE(rec.texts(),
           (QStringList{QString::fromUtf8("Empresas: No se puede realizar esta operación en una "
                                          "fuente de datos abierta"),
                        "fallo"}));
  for (const auto& b : rec.boxes()) {
    QCOMPARE(b.caption, ApplicationTitle());
    QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(b.icon, QMessageBox::Critical);
  }
}

void WindowTest::actualizarChecksThePathFirst() {
  TForm1 f;
  f.show();
  QVERIFY(QTest::qWaitForWindowExposed(&f));
  QApplication::setActiveWindow(&f);
  QVERIFY(QTest::qWaitForWindowActive(&f));
  MessageRecorder rec;
  f.Button2->setFocus();
  QTest::mouseClick(f.Button1, Qt::LeftButton);
  QCOMPARE(rec.texts(), QStringList{kNotFound});
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.EditDirectorio));
  QVERIFY(f.RutaPrograma.empty());
  QVERIFY(f.isVisible());
}

void WindowTest::spanishStandardTexts() {
  QVERIFY(InstallSpanishTranslations(*qApp));
  QMessageBox box(QMessageBox::NoIcon, "t", "x", QMessageBox::Ok | QMessageBox::Cancel);
  QVERIFY2(box.button(QMessageBox::Ok)->text().contains("Aceptar"),
           qPrintable(box.button(QMessageBox::Ok)->text()));
  QVERIFY2(box.button(QMessageBox::Cancel)->text().contains("Cancelar"),
           qPrintable(box.button(QMessageBox::Cancel)->text()));
}

void WindowTest::oneWinXP() {
  TForm1 f;
  QVERIFY(f.WinXP1 != nullptr);
  QCOMPARE(f.WinXP1->objectName(), QString("WinXP1"));
  QCOMPARE(f.WinXP1->parent(), static_cast<QObject*>(&f));
  QCOMPARE(f.findChildren<TWinXP*>().size(), 1);
  try {
    new TWinXP(&f);
    QFAIL("a second TWinXP was accepted");
  } catch (const EComponentError& e) {
    QCOMPARE(QString(e.what()), QString("Only one instance of TWinXP allowed on form"));
  }
  QCOMPARE(f.findChildren<TWinXP*>().size(), 1);
}

QTEST_MAIN(WindowTest)
#include "window_test.moc"
