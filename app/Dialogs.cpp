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

// The width, in pixels, at which the text of a box is wrapped when a line of it is wider: more than
// a message box's own width limit (500 pixels), so that the box turns its label's word wrap on.
constexpr int kAnchoDeTexto = 600;

QLabel* TextLabel(QMessageBox& box) { return box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label")); }

// Sets a box's text and makes its label wide enough for every line: the widest of the lines that
// must stay whole (`whole`, the context lines), and the text's own lines up to kAnchoDeTexto, past
// which they wrap at blanks. The label's minimum width stands in for its size hint in the box's
// layout, so it must hold the text's lines as well, or they are cut at the label's edge.
void SetFittedText(QMessageBox& box, const QString& text, const QStringList& whole) {
  box.setText(text);
  QLabel* label = TextLabel(box);
  if (label == nullptr) return;
  const QFontMetrics fm(label->font());
  int widestWhole = 0, widest = 0;
  for (const QString& line : whole) widestWhole = std::max(widestWhole, fm.horizontalAdvance(line));
  for (const QString& line : text.split(u'\n')) widest = std::max(widest, fm.horizontalAdvance(line));
  const int wrapAt = std::max(widestWhole, std::min(kAnchoDeTexto, ErrorLineWidth()));
  const int width = std::min(widest, wrapAt);
  const QMargins margins = label->contentsMargins();
  label->setMinimumWidth(width + margins.left() + margins.right() + std::max(0, label->indent()) + 2);
}

// Sets the text of an error box: the error's own text, then its context lines one a line, each
// whole; a path wider than the box may grow is shortened in its middle, and the full text then
// goes into the box's details.
void SetErrorText(QMessageBox& box, const QString& text) {
  const actualiza::MensajeConContexto m = actualiza::SeparaContexto(text.toStdString());
  QLabel* label = TextLabel(box);
  const QFontMetrics fm(label ? label->font() : box.font());
  const int limit = ErrorLineWidth();
  QString shown = QString::fromStdString(m.texto);
  QStringList context;
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
    context << l;
    shown += u'\n' + l;
  }
  SetFittedText(box, shown, context);
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
  Show(QMessageBox::NoIcon, [&](QMessageBox& box) { SetFittedText(box, text, {}); });
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
