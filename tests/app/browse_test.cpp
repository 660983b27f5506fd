// The file-name edit's browse button and dialog: what the dialog is asked (title, filter, start
// folder, preselected name), the text after a choice or a cancel, the focus afterwards, and the
// default dialog's case-blind filter.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QHeaderView>
#include <QToolButton>
#include <QTreeView>
#include <QtTest>

#include "app/Unit1.h"
#include "wizard_test_util.h"

using namespace wizard;

class BrowseTest : public QObject {
  Q_OBJECT
 private slots:
  void firstDialogFromTheInitialText();
  void choiceIsQuotedAndNextDialogStartsThere();
  void cancelChangesNothing();
  void invalidNameGivesNoStartFolder();
  void editCannotBeTypedInto();
  void defaultDialog();
  void defaultDialogListsInSpanishWithWholeColumns();
};

namespace {
struct DialogScript {
  std::vector<BrowseRequest> asked;
  std::vector<std::optional<QString>> answers;
  TFilenameEdit::DialogFn fn() {
    return [this](QWidget*, const BrowseRequest& r) -> std::optional<QString> {
      asked.push_back(r);
      const size_t i = asked.size() - 1;
      return i < answers.size() ? answers[i] : std::nullopt;
    };
  }
};

void ShowAndActivate(QWidget* w) {
  w->show();
  QVERIFY(QTest::qWaitForWindowExposed(w));
  QApplication::setActiveWindow(w);
  QVERIFY(QTest::qWaitForWindowActive(w));
}
}  // namespace

void BrowseTest::firstDialogFromTheInitialText() {
  TForm1 f;
  DialogScript script;
  f.EditDirectorio->SetDialogHook(script.fn());
  QTest::mouseClick(f.EditDirectorio->BrowseButton(), Qt::LeftButton);
  QCOMPARE(script.asked.size(), size_t{1});
  const BrowseRequest& r = script.asked[0];
  QCOMPARE(r.title, QString("Por favor, localice el fichero Vendimar.EXE"));
  QCOMPARE(r.filterLabel, QString("TRIBANOR.EXE"));
  QCOMPARE(r.fileName, QString("TRIBANOR.EXE"));
  // C:\Archivos de programa\... is no folder here: the dialog picks its own, the name is offered.
  QVERIFY(r.startFolder.isEmpty());
  QCOMPARE(r.selectedName, QString("Tribanor.exe"));
}

void BrowseTest::choiceIsQuotedAndNextDialogStartsThere() {
  QTemporaryDir dir;
  const QString withBlank = dir.filePath("Mi Tribanor/tribanor.EXE");
  const QString plain = dir.filePath("sinblancos/TRIBANOR.EXE");
  QVERIFY(wizard_test::WriteFile(withBlank));
  QVERIFY(wizard_test::WriteFile(plain));
  TForm1 f;
  ShowAndActivate(&f);
  f.Button1->setFocus();
  DialogScript script;
  script.answers = {withBlank, plain, std::nullopt};
  f.EditDirectorio->SetDialogHook(script.fn());

  f.EditDirectorio->Browse();
  QCOMPARE(f.EditDirectorio->text(), "\"" + withBlank + "\"");
  QCOMPARE(f.EditDirectorio->FileName(), withBlank);
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.EditDirectorio));

  f.Button1->setFocus();
  f.EditDirectorio->Browse();
  QCOMPARE(script.asked[1].startFolder, dir.filePath("Mi Tribanor/"));
  QCOMPARE(script.asked[1].selectedName, QString("tribanor.EXE"));
  QCOMPARE(f.EditDirectorio->text(), plain);  // no blank, no quotes
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.EditDirectorio));

  f.EditDirectorio->Browse();
  QCOMPARE(script.asked[2].startFolder, dir.filePath("sinblancos/"));
  QCOMPARE(f.EditDirectorio->text(), plain);
  QVERIFY(f.CompruebaRuta());
}

void BrowseTest::cancelChangesNothing() {
  TForm1 f;
  ShowAndActivate(&f);
  const QString before = f.EditDirectorio->text();
  DialogScript script;
  f.EditDirectorio->SetDialogHook(script.fn());
  f.Button2->setFocus();
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.Button2));
  QTest::mouseClick(f.EditDirectorio->BrowseButton(), Qt::LeftButton);
  QCOMPARE(script.asked.size(), size_t{1});
  QCOMPARE(f.EditDirectorio->text(), before);
  // The edit takes the focus after a cancel too.
  QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(f.EditDirectorio));
}

void BrowseTest::invalidNameGivesNoStartFolder() {
  QTemporaryDir dir;
  TForm1 f;
  DialogScript script;
  f.EditDirectorio->SetDialogHook(script.fn());
  f.EditDirectorio->setText(dir.path() + "/a|b.exe");
  f.EditDirectorio->Browse();
  QVERIFY(script.asked.at(0).startFolder.isEmpty());
  QVERIFY(script.asked.at(0).selectedName.isEmpty());
  // A valid name in an existing folder starts there even when the file is missing.
  f.EditDirectorio->setText(dir.path() + "/Tribanor.exe");
  f.EditDirectorio->Browse();
  QCOMPARE(script.asked.at(1).startFolder, dir.path() + "/");
  QCOMPARE(script.asked.at(1).selectedName, QString("Tribanor.exe"));
}

void BrowseTest::editCannotBeTypedInto() {
  TForm1 f;
  ShowAndActivate(&f);
  const QString before = f.EditDirectorio->text();
  f.EditDirectorio->setFocus();
  QTest::keyClicks(f.EditDirectorio, "xyz");
  QTest::keyClick(f.EditDirectorio, Qt::Key_Backspace);
  QCOMPARE(f.EditDirectorio->text(), before);
}

void BrowseTest::defaultDialog() {
  QTemporaryDir dir;
  const QString exe = dir.filePath("TriBanor.Exe");
  QVERIFY(wizard_test::WriteFile(exe));
  QVERIFY(wizard_test::WriteFile(dir.filePath("otro.exe")));
  BrowseRequest r;
  r.title = "Por favor, localice el fichero Vendimar.EXE";
  r.filterLabel = "TRIBANOR.EXE";
  r.fileName = "TRIBANOR.EXE";
  r.startFolder = dir.path() + "/";
  r.selectedName = "TriBanor.Exe";
  bool inspected = false;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    QVERIFY(dlg != nullptr);
    inspected = true;
    QCOMPARE(dlg->windowTitle(), r.title);
    QVERIFY(dlg->testOption(QFileDialog::DontUseNativeDialog));
    QCOMPARE(dlg->fileMode(), QFileDialog::ExistingFile);
    QCOMPARE(QDir(dlg->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
    const QStringList filters = dlg->nameFilters();
    QCOMPARE(filters.size(), 1);
    QVERIFY(filters[0].startsWith("TRIBANOR.EXE ("));
    // The pattern in the filter matches the name in any case and nothing else.
    const QString pattern = filters[0].mid(filters[0].indexOf('(') + 1).chopped(1);
    const QRegularExpression re(QRegularExpression::wildcardToRegularExpression(pattern));
    for (const char* yes : {"TRIBANOR.EXE", "tribanor.exe", "TriBanor.Exe"})
      QVERIFY2(re.match(yes).hasMatch(), yes);
    for (const char* no : {"otro.exe", "TRIBANOR.EXE.bak", "XTRIBANOR.EXE", "TRIBANOR.COM"})
      QVERIFY2(!re.match(no).hasMatch(), no);
    dlg->selectFile(exe);
    static_cast<QDialog*>(dlg)->accept();
  });
  const std::optional<QString> got = TFilenameEdit::RunFileDialog(nullptr, r);
  QVERIFY(inspected);
  QVERIFY(got.has_value());
  QCOMPARE(QFileInfo(*got).canonicalFilePath(), QFileInfo(exe).canonicalFilePath());
  // And a cancel gives nothing.
  QTimer::singleShot(0, [] {
    if (auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) static_cast<QDialog*>(dlg)->reject();
  });
  QVERIFY(!TFilenameEdit::RunFileDialog(nullptr, r).has_value());
}

void BrowseTest::defaultDialogListsInSpanishWithWholeColumns() {
  QTemporaryDir dir;
  QVERIFY(wizard_test::WriteFile(dir.filePath("TRIBANOR.EXE")));
  QVERIFY(QDir(dir.path()).mkdir("Datos de la empresa"));
  TForm1 f;  // the dialog comes from the 487-pixel window
  ShowAndActivate(&f);
  BrowseRequest r;
  r.title = "t";
  r.filterLabel = r.fileName = "TRIBANOR.EXE";
  r.startFolder = dir.path() + "/";
  QStringList titles, kinds, cut;
  QTimer::singleShot(0, [&] {
    auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    auto* view = dlg ? dlg->findChild<QTreeView*>("treeView") : nullptr;
    if (view == nullptr) {
      if (dlg) dlg->reject();
      return;
    }
    QAbstractItemModel* m = view->model();
    QTRY_COMPARE(m->rowCount(view->rootIndex()), 2);
    QTRY_VERIFY(!m->index(0, 2, view->rootIndex()).data().toString().isEmpty());
    QTRY_VERIFY(!m->index(1, 2, view->rootIndex()).data().toString().isEmpty());
    QHeaderView* h = view->header();
    const QFontMetrics titleFm(h->font()), cellFm(view->font());
    // The columns as drawn once the header has fitted them to their texts, which it does in a
    // pass of its own after the texts arrive (later on a busy machine).
    auto measure = [&] {
      titles.clear();
      kinds.clear();
      cut.clear();
      int total = 0;
      for (int c = 0; c < m->columnCount(view->rootIndex()); ++c) {
        if (h->isSectionHidden(c)) continue;
        const QString title = m->headerData(c, Qt::Horizontal).toString();
        titles << title;
        total += h->sectionSize(c);
        if (h->sectionSize(c) < titleFm.horizontalAdvance(title)) cut << title;
        for (int row = 0; row < 2; ++row) {
          const QString text = m->index(row, c, view->rootIndex()).data().toString();
          if (c == 2) kinds << text;
          if (c > 0 && h->sectionSize(c) < cellFm.horizontalAdvance(text)) cut << text;
        }
      }
      // Nothing to scroll to: every column is in sight.
      if (total > view->viewport()->width()) cut << QString("total %1 > %2").arg(total).arg(view->viewport()->width());
    };
    QElapsedTimer waited;
    waited.start();
    for (measure(); !cut.isEmpty() && waited.elapsed() < 5000; measure()) QTest::qWait(20);
    dlg->reject();
  });
  QVERIFY(!TFilenameEdit::RunFileDialog(&f, r).has_value());
  QCOMPARE(titles, (QStringList{"Nombre", QString::fromUtf8("Tamaño"), "Tipo", QString::fromUtf8("Fecha de modificación")}));
  kinds.sort();
  QCOMPARE(kinds, (QStringList{"Archivo EXE", "Carpeta"}));
  QVERIFY2(cut.isEmpty(), qPrintable("cut: " + cut.join(" | ")));
}

QTEST_MAIN(BrowseTest)
#include "browse_test.moc"
