// TWinXP's creation rule: its owner must be a window, and a window holds at most one.
#include <QPushButton>
#include <QtTest>

#include "app/WinXP.h"

using wizard::EComponentError;
using wizard::TWinXP;

class WinXPTest : public QObject {
  Q_OBJECT
 private slots:
  void ownerMustBeAForm();
  void onlyOnePerForm();
  void onePerFormNotPerProgram();
};

namespace {
QString CreationError(QObject* owner) {
  try {
    new TWinXP(owner);
  } catch (const EComponentError& e) {
    return QString::fromUtf8(e.what());
  }
  return {};
}
}  // namespace

void WinXPTest::ownerMustBeAForm() {
  const QString notForm = "Control parent must be a form!";
  QCOMPARE(CreationError(nullptr), notForm);
  QObject plain;
  QCOMPARE(CreationError(&plain), notForm);
  QVERIFY(plain.children().isEmpty());
  QWidget form;
  auto* button = new QPushButton(&form);  // a control, not a form
  QCOMPARE(CreationError(button), notForm);
  QVERIFY(button->findChildren<TWinXP*>().isEmpty());
  // A top-level widget is a form.
  QCOMPARE(CreationError(&form), QString());
  QCOMPARE(form.findChildren<TWinXP*>().size(), 1);
}

void WinXPTest::onlyOnePerForm() {
  QWidget form;
  auto* first = new TWinXP(&form);
  QCOMPARE(first->parent(), static_cast<QObject*>(&form));
  QCOMPARE(CreationError(&form), QString("Only one instance of TWinXP allowed on form"));
  QCOMPARE(CreationError(&form), QString("Only one instance of TWinXP allowed on form"));
  // The failed creations left nothing behind.
  const auto all = form.findChildren<TWinXP*>();
  QCOMPARE(all.size(), 1);
  QCOMPARE(all.first(), first);
  // Once the first one is gone, a new one is accepted.
  delete first;
  QCOMPARE(CreationError(&form), QString());
}

void WinXPTest::onePerFormNotPerProgram() {
  QWidget a, b;
  QCOMPARE(CreationError(&a), QString());
  QCOMPARE(CreationError(&b), QString());
}

QTEST_MAIN(WinXPTest)
#include "winxp_test.moc"
