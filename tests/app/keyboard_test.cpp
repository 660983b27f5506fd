// The window with the keyboard only: the focus when it opens, the keys that open the file
// dialog, the tab order of each page (Tab leaves the grids), Ctrl+Tab between pages, Return and
// keypad Enter on the focused button, and a whole session that chooses a demo installation in
// the real file dialog, lists its companies and upgrades it. Every key goes to the widget that
// has the focus, as a keyboard would send it.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include "app/Unit1.h"
#include "app/core/Comprobar.h"
#include "app/core/Demo.h"
#include "wizard_test_util.h"

using namespace wizard;
using wizard_test::MessageRecorder;

namespace {

QWidget* Focus() { return QApplication::focusWidget(); }

// One key press and release as the window system delivers it: to the window that has the
// focus (QWindowSystemInterface), which resolves shortcuts first and then gives the key to the
// focused widget.
void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QWidget* w = Focus();
  QVERIFY2(w != nullptr, "no widget has the focus");
  QVERIFY2(w->window()->windowHandle() != nullptr, qPrintable(w->objectName()));
  QTest::keyClick(w->window()->windowHandle(), key, mods);
}

// Tab and Shift+Tab as the keyboard sends them.
void Tab() { Key(Qt::Key_Tab); }
void BackTab() { Key(Qt::Key_Backtab, Qt::ShiftModifier); }

QString NameOf(QWidget* w) { return w ? w->objectName() : QStringLiteral("(nadie)"); }

void ShowAndActivate(QWidget* w) {
  w->show();
  QVERIFY(QTest::qWaitForWindowExposed(w));
  QApplication::setActiveWindow(w);
  QVERIFY(QTest::qWaitForWindowActive(w));
}

// Counts the dialogs the edit asks for, answering each with a cancel.
struct DialogCount {
  int asked = 0;
  void Install(TFilenameEdit* e) {
    e->SetDialogHook([this](QWidget*, const BrowseRequest&) -> std::optional<QString> {
      ++asked;
      return std::nullopt;
    });
  }
};

// Walks the tab order with `step` from the focused control and returns the names reached.
QStringList Walk(void (*step)(), int count) {
  QStringList out;
  for (int i = 0; i < count; ++i) {
    step();
    out << NameOf(Focus());
  }
  return out;
}

// Answers the next file dialog from the keyboard: once the dialog is up and its file-name field
// has the focus, types `path` there and presses Return. Records what it found.
struct KeyboardDialogAnswer {
  QString path;
  bool answered = false;
  QString problem;
  QTimer timer;
  int tries = 0;

  void Arm() {
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [this] { Poll(); });
    timer.start();
  }
  void Poll() {
    auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dlg == nullptr || Focus() == nullptr || !dlg->isAncestorOf(Focus())) {
      if (++tries > 500) {  // never came up: give up rather than hang
        timer.stop();
        problem = "no file dialog with the focus";
        if (dlg) dlg->reject();
      }
      return;
    }
    timer.stop();
    auto* field = qobject_cast<QLineEdit*>(Focus());
    if (field == nullptr) {
      problem = "the focus in the dialog is not on a text field: " + NameOf(Focus());
      dlg->reject();
      return;
    }
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);  // replace the preselected name
    QTest::keyClicks(field, path);
    if (QWidget* popup = QApplication::activePopupWidget()) QTest::keyClick(popup, Qt::Key_Escape);
    QTest::keyClick(Focus(), Qt::Key_Return);
    answered = true;
  }
};

}  // namespace

class KeyboardTest : public QObject {
  Q_OBJECT
 private slots:
  void theFileNameEditHasTheFocusAtStart();
  void browseKeysOnTheEdit();
  void browseButtonFromTheKeyboard();
  void returnPressesTheFocusedButton();
  void tabOrderOfEachPage();
  void ctrlTabSelectsPages();
  void anEmptyGridShowsItHasTheFocus();
  void aWholeSessionWithTheKeyboard();
};

void KeyboardTest::theFileNameEditHasTheFocusAtStart() {
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  QVERIFY(f.EditDirectorio->hasFocus());
}

void KeyboardTest::browseKeysOnTheEdit() {
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  DialogCount dialogs;
  dialogs.Install(f.EditDirectorio);
  const QString before = f.EditDirectorio->text();
  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    bool opens;
  };
  const Case cases[] = {
      {Qt::Key_Down, Qt::AltModifier, true},
      {Qt::Key_F4, Qt::NoModifier, true},
      {Qt::Key_Return, Qt::ControlModifier, true},
      {Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier, true},
      {Qt::Key_Down, Qt::NoModifier, false},
      {Qt::Key_Up, Qt::AltModifier, false},
      {Qt::Key_F4, Qt::AltModifier, false},
      {Qt::Key_F3, Qt::NoModifier, false},
      {Qt::Key_Space, Qt::NoModifier, false},
      {Qt::Key_Return, Qt::NoModifier, false},
  };
  for (const Case& c : cases) {
    const int was = dialogs.asked;
    Key(c.key, c.mods);
    const QString what = QKeySequence(c.key | c.mods).toString();
    QVERIFY2(dialogs.asked == was + (c.opens ? 1 : 0), qPrintable(what));
    // The edit keeps its text (the dialog was cancelled) and the focus.
    QCOMPARE(f.EditDirectorio->text(), before);
    QVERIFY2(Focus() == f.EditDirectorio, qPrintable(what + " -> " + NameOf(Focus())));
  }
}

void KeyboardTest::browseButtonFromTheKeyboard() {
  QTemporaryDir dir;
  const QString exe = dir.filePath("Tribanor.exe");
  QVERIFY(wizard_test::WriteFile(exe));
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  int asked = 0;
  f.EditDirectorio->SetDialogHook([&](QWidget*, const BrowseRequest&) -> std::optional<QString> {
    ++asked;
    return exe;
  });
  // The browse button comes right after the edit, and Space, Return and keypad Enter press it;
  // the chosen name is shown and the edit has the focus again.
  for (auto [key, mods] : {std::pair{Qt::Key_Space, Qt::KeyboardModifiers()},
                           std::pair{Qt::Key_Return, Qt::KeyboardModifiers()},
                           std::pair{Qt::Key_Enter, Qt::KeyboardModifiers(Qt::KeypadModifier)}}) {
    f.EditDirectorio->setText("x");
    Tab();
    QCOMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio->BrowseButton()));
    const int was = asked;
    Key(key, mods);
    QCOMPARE(asked, was + 1);
    QCOMPARE(f.EditDirectorio->text(), exe);
    QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  }
}

void KeyboardTest::returnPressesTheFocusedButton() {
  MessageRecorder rec;
  {
    // "Visualizar" with Return, without an executable: its two messages, then the first page.
    TForm1 f;
    ShowAndActivate(&f);
    Key(Qt::Key_Tab, Qt::ControlModifier);
    Key(Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(f.Notebook1->currentIndex(), 2);
    QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.Button3));
    Key(Qt::Key_Return, Qt::ShiftModifier);  // not a plain Return: nothing
    QCOMPARE(rec.texts(), QStringList());
    Key(Qt::Key_Return);
    QCOMPARE(rec.texts().size(), 2);
    QCOMPARE(rec.texts().at(1), QString("Seleccione la ruta en la que tiene instalado el programa"));
    QCOMPARE(f.Notebook1->currentIndex(), 0);
    QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  }
  // "&Salir" with Return and with keypad Enter closes the window.
  for (auto mods : {Qt::KeyboardModifiers(), Qt::KeyboardModifiers(Qt::KeypadModifier)}) {
    TForm1 f;
    ShowAndActivate(&f);
    QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
    Tab();
    Tab();
    Tab();
    QCOMPARE(Focus(), static_cast<QWidget*>(f.Button2));
    Key(mods ? Qt::Key_Enter : Qt::Key_Return, mods);
    QVERIFY(!f.isVisible());
  }
}

void KeyboardTest::tabOrderOfEachPage() {
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  // Page 1: the edit, its browse button, the two buttons, then the tab strip and round again.
  QCOMPARE(Walk(Tab, 5), (QStringList{"BrowseButton", "Button1", "Button2", "TabSet1", "EditDirectorio"}));
  QCOMPARE(Walk(BackTab, 5), (QStringList{"TabSet1", "Button2", "Button1", "BrowseButton", "EditDirectorio"}));
  // Page 2: the text, then the tab strip. The strip's arrows choose the page.
  BackTab();
  QCOMPARE(Focus(), static_cast<QWidget*>(f.TabSet1));
  Key(Qt::Key_Right);
  QCOMPARE(f.Notebook1->currentIndex(), 1);
  QCOMPARE(Walk(Tab, 2), (QStringList{"RichEdit1", "TabSet1"}));
  QCOMPARE(Walk(BackTab, 2), (QStringList{"RichEdit1", "TabSet1"}));
  // Page 3: "Visualizar", the companies, the fiscal years, the tab strip.
  Key(Qt::Key_Right);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(f.TabSet1->currentIndex(), 2);
  QCOMPARE(Walk(Tab, 4), (QStringList{"Button3", "DBGrid1", "DBGrid2", "TabSet1"}));
  QCOMPARE(Walk(BackTab, 4), (QStringList{"DBGrid2", "DBGrid1", "Button3", "TabSet1"}));
}

void KeyboardTest::ctrlTabSelectsPages() {
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  // Forward round the strip, the page following the tab, the focus on the new page.
  Key(Qt::Key_Tab, Qt::ControlModifier);
  QCOMPARE(f.TabSet1->currentIndex(), 1);
  QCOMPARE(f.Notebook1->currentIndex(), 1);
  QCOMPARE(Focus(), static_cast<QWidget*>(f.RichEdit1));
  Key(Qt::Key_Tab, Qt::ControlModifier);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(Focus(), static_cast<QWidget*>(f.Button3));
  // From inside a grid too: Ctrl+Tab leaves the grid for the next page (round to the first).
  Tab();
  QCOMPARE(Focus(), static_cast<QWidget*>(f.DBGrid1));
  Key(Qt::Key_Tab, Qt::ControlModifier);
  QCOMPARE(f.TabSet1->currentIndex(), 0);
  QCOMPARE(f.Notebook1->currentIndex(), 0);
  QVERIFY2(f.Notebook1->widget(0)->isAncestorOf(Focus()), qPrintable(NameOf(Focus())));
  // Backwards, as the keyboard sends Ctrl+Shift+Tab (Backtab with Shift: ISO_Left_Tab on X),
  // from the first page round to the last, and on.
  int ambiguous = 0;
  for (QShortcut* s : f.findChildren<QShortcut*>())
    connect(s, &QShortcut::activatedAmbiguously, [&] { ++ambiguous; });
  Key(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  QCOMPARE(f.TabSet1->currentIndex(), 2);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(Focus(), static_cast<QWidget*>(f.DBGrid1));
  Key(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  QCOMPARE(f.Notebook1->currentIndex(), 1);
  QCOMPARE(ambiguous, 0);
  // An X server lists that key also as Ctrl+Shift+Tab and Ctrl+Backtab, and the shortcut map
  // tries every key listed: one shortcut of the window, no more, may match them, or none fires.
  int matching = 0;
  for (QShortcut* s : f.findChildren<QShortcut*>())
    for (QKeyCombination k : {Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab, Qt::CTRL | Qt::SHIFT | Qt::Key_Tab,
                              Qt::CTRL | Qt::Key_Backtab})
      matching += s->key() == QKeySequence(k);
  QCOMPARE(matching, 1);
  // On the tab strip itself the focus stays there.
  f.TabSet1->setFocus();
  Key(Qt::Key_Tab, Qt::ControlModifier);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(Focus(), static_cast<QWidget*>(f.TabSet1));
}

void KeyboardTest::anEmptyGridShowsItHasTheFocus() {
  TForm1 f;
  ShowAndActivate(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));
  Key(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  for (QTableView* grid : {f.DBGrid1, f.DBGrid2}) {
    QCOMPARE(grid->model()->rowCount(), 0);
    f.Button3->setFocus();
    const QImage without = grid->grab().toImage();
    while (Focus() != grid && Focus() != f.TabSet1) Tab();
    QCOMPARE(Focus(), static_cast<QWidget*>(grid));
    QVERIFY2(grid->grab().toImage() != without, qPrintable(grid->objectName()));
  }
}

void KeyboardTest::aWholeSessionWithTheKeyboard() {
  QTemporaryDir dir;
  actualiza::DemoOptions o;
  o.customers = 6;
  const actualiza::DemoSummary demo = actualiza::WriteDemoInstallation(dir.filePath("Mi Tribanor").toStdString(), o);
  const QString exe = QString::fromStdString(demo.executable);
  QVERIFY(!actualiza::ComprobarInstalacion(demo.executable).AlDia());
  TForm1 f;
  ShowAndActivate(&f);
  MessageRecorder rec;
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));

  // Alt+Down opens the file dialog; the name is typed there and Return confirms it.
  KeyboardDialogAnswer answer;
  answer.path = exe;
  answer.Arm();
  Key(Qt::Key_Down, Qt::AltModifier);
  QVERIFY2(answer.problem.isEmpty(), qPrintable(answer.problem));
  QVERIFY(answer.answered);
  // The edit shows the dialog's answer in this system's separators.
  QCOMPARE(f.EditDirectorio->text(), "\"" + QDir::toNativeSeparators(exe) + "\"");
  // The window manager gives the window back the activation when the dialog closes (the
  // offscreen platform leaves that to the program); the edit then has the focus.
  QApplication::setActiveWindow(&f);
  QTRY_COMPARE(Focus(), static_cast<QWidget*>(f.EditDirectorio));

  // To the tab strip, and with its arrows to the third page.
  QCOMPARE(Walk(Tab, 4), (QStringList{"BrowseButton", "Button1", "Button2", "TabSet1"}));
  Key(Qt::Key_Right);
  Key(Qt::Key_Right);
  QCOMPARE(f.Notebook1->currentIndex(), 2);
  QCOMPARE(f.TabSet1->currentIndex(), 2);

  // "Visualizar" with Return lists the companies.
  Tab();
  QCOMPARE(Focus(), static_cast<QWidget*>(f.Button3));
  Key(Qt::Key_Return);
  QCOMPARE(rec.texts(), QStringList());
  QVERIFY(f.Empresas->Active());
  QCOMPARE(f.DBGrid1->model()->rowCount(), static_cast<int>(demo.companies.size()));
  for (size_t i = 0; i < demo.companies.size(); ++i)
    QCOMPARE(f.DBGrid1->model()->index(static_cast<int>(i), 0).data().toString(),
             QString::fromStdString(demo.companies[i]));

  // Into the companies; Down selects the second one and its fiscal years show.
  Tab();
  QCOMPARE(Focus(), static_cast<QWidget*>(f.DBGrid1));
  Key(Qt::Key_Down);
  QCOMPARE(f.DBGrid1->currentIndex().row(), 1);
  QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), QString::fromStdString(demo.companies[1]));
  const int years = f.DBGrid2->model()->rowCount();
  QVERIFY(years > 0);
  for (int r = 0; r < years; ++r)
    QVERIFY(!f.DBGrid2->model()->index(r, 0).data().toString().isEmpty());

  // Through every control of the page and back; Tab never moves the selected company.
  QCOMPARE(Walk(Tab, 3), (QStringList{"DBGrid2", "TabSet1", "Button3"}));
  QCOMPARE(Walk(BackTab, 4), (QStringList{"TabSet1", "DBGrid2", "DBGrid1", "Button3"}));
  QCOMPARE(f.DBGrid1->currentIndex().row(), 1);
  QCOMPARE(QString::fromStdString(f.EmpresasNOMBRE->AsString()), QString::fromStdString(demo.companies[1]));
  QCOMPARE(f.DBGrid2->model()->rowCount(), years);

  // Ctrl+Tab back to the first page, where the focus returns to the last control it had.
  Key(Qt::Key_Tab, Qt::ControlModifier);
  QCOMPARE(f.Notebook1->currentIndex(), 0);
  QCOMPARE(f.TabSet1->currentIndex(), 0);
  QCOMPARE(Focus(), static_cast<QWidget*>(f.Button2));

  // "&Actualizar" with Return: the whole run, its message, and the window closes.
  BackTab();
  QCOMPARE(Focus(), static_cast<QWidget*>(f.Button1));
  Key(Qt::Key_Return);
  QCOMPARE(rec.texts(), QStringList{QString::fromUtf8("Proceso de Actualización Finalizado")});
  QCOMPARE(f.LabelAccion->text(), QString(46, ' '));
  QVERIFY(!f.isVisible());
  QVERIFY(actualiza::ComprobarInstalacion(demo.executable).AlDia());
}

QTEST_MAIN(KeyboardTest)
#include "keyboard_test.moc"
