#include "app/Dialogs.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QTranslator>
#include <algorithm>
#include <exception>

#include "app/FileNameRules.h"
#include "app/core/Contexto.h"

namespace wizard {

namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

// Sets the text of an error box: the error's own text, then its context lines one a line. The
// box is made wide enough for its widest context line, so that no path is broken across lines;
// a path wider than the box may grow is shortened in its middle, and the full text then goes
// into the box's details.
void SetErrorText(QMessageBox& box, const QString& text) {
  const actualiza::MensajeConContexto m = actualiza::SeparaContexto(text.toStdString());
  auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  const QFontMetrics fm(label ? label->font() : box.font());
  const int limit = ErrorLineWidth();
  QString shown = QString::fromStdString(m.texto);
  int widest = 0;
  bool shortened = false;
  for (const std::string& line : m.contexto) {
    QString l = QString::fromStdString(line);
    const size_t path = actualiza::InicioDeRuta(line);
    if (path != std::string::npos && fm.horizontalAdvance(l) > limit) {
      const QString name = QString::fromStdString(line.substr(0, path));
      l = name + fm.elidedText(QString::fromStdString(line.substr(path)), Qt::ElideMiddle,
                               limit - fm.horizontalAdvance(name));
      shortened = true;
    }
    widest = std::max(widest, fm.horizontalAdvance(l));
    shown += u'\n' + l;
  }
  box.setText(shown);
  if (label && widest > 0) {
    const QMargins margins = label->contentsMargins();
    label->setMinimumWidth(widest + margins.left() + margins.right() + std::max(0, label->indent()) + 2);
  }
  if (shortened) box.setDetailedText(QString::fromStdString(m.Completo()));
}

void Show(QMessageBox::Icon icon, const std::function<void(QMessageBox&)>& setText) {
  QMessageBox box(icon, ApplicationTitle(), QString(), QMessageBox::Ok, nullptr);
  box.setTextFormat(Qt::PlainText);
  setText(box);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  if (Hook()) {
    Hook()(box);
    return;
  }
  box.exec();
}

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  MessageBoxHook old = std::move(Hook());
  Hook() = std::move(hook);
  return old;
}

QString ApplicationTitle() {
  return ApplicationTitleFor(QCoreApplication::applicationFilePath());
}

int ErrorLineWidth() {
  // A message box grows no wider than the screen (a screen up to 1024 pixels wide) or than
  // 1000 pixels and 480 less than the screen; its icon and margins take up to 120 of them.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const int screenWidth = screen ? screen->availableGeometry().width() : 1024;
  const int boxWidth = screenWidth <= 1024 ? screenWidth : std::min(screenWidth - 480, 1000);
  return std::max(200, boxWidth - 120);
}

void ShowMessage(const QString& text) {
  Show(QMessageBox::NoIcon, [&](QMessageBox& box) { box.setText(text); });
}

void ShowErrorMessage(const QString& text) {
  Show(QMessageBox::Critical, [&](QMessageBox& box) { SetErrorText(box, text); });
}

void RunHandler(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowErrorMessage(QString::fromUtf8(e.what()));
  }
}

bool InstallSpanishTranslations(QApplication& app) {
  QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
  auto* tr = new QTranslator(&app);
  if (!tr->load(QLocale(QLocale::Spanish, QLocale::Spain), "qtbase", "_",
                QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete tr;
    return false;
  }
  QApplication::installTranslator(tr);
  return true;
}

}  // namespace wizard
