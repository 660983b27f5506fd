#include "app/FilenameEdit.h"

#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

#include "app/FileNameRules.h"
#include "app/Keyboard.h"
#include "engine/error.h"
#include "engine/fs.h"

namespace wizard {

namespace {

QIcon FolderGlyph() {
  QPixmap pm(16, 16);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setPen(QColor(128, 128, 0));
  p.setBrush(QColor(255, 255, 128));
  p.drawRect(1, 4, 13, 9);
  p.drawRect(1, 2, 5, 2);
  return QIcon(pm);
}

// The keys that open the dialog from the edit: F4, Alt+Down, Ctrl+Return (keypad keys alike).
bool IsBrowseKey(const QKeyEvent& e) {
  const Qt::KeyboardModifiers m = e.modifiers() & ~Qt::KeypadModifier;
  switch (e.key()) {
    case Qt::Key_F4: return m == Qt::NoModifier;
    case Qt::Key_Down: return m == Qt::AltModifier;
    case Qt::Key_Return:
    case Qt::Key_Enter: return m == Qt::ControlModifier;
    default: return false;
  }
}

// A wildcard that matches `name` in any letter case ("ab.c" -> "[Aa][Bb].[Cc]").
QString AnyCasePattern(const QString& name) {
  QString out;
  for (QChar c : name) {
    if (c.toLower() != c.toUpper()) {
      out += u'[';
      out += c.toUpper();
      out += c.toLower();
      out += u']';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

TFilenameEdit::TFilenameEdit(QWidget* parent) : QLineEdit(parent), button_(new QToolButton(this)) {
  setReadOnly(true);
  button_->setObjectName("BrowseButton");
  button_->setIcon(FolderGlyph());
  button_->setFocusPolicy(Qt::TabFocus);
  PressOnReturn(button_);
  button_->setCursor(Qt::ArrowCursor);
  button_->setToolTip(tr("Examinar"));
  connect(button_, &QToolButton::clicked, this, &TFilenameEdit::Browse);
  dialog_ = &TFilenameEdit::RunFileDialog;
  exists_ = &TFilenameEdit::FileExists;
}

void TFilenameEdit::resizeEvent(QResizeEvent* e) {
  QLineEdit::resizeEvent(e);
  const int side = height() - 4;
  button_->setGeometry(width() - side - 2, 2, side, side);
  setTextMargins(0, 0, side + 2, 0);
}

void TFilenameEdit::keyPressEvent(QKeyEvent* e) {
  if (!IsBrowseKey(*e)) {
    QLineEdit::keyPressEvent(e);
    return;
  }
  e->accept();
  if (!e->isAutoRepeat()) Browse();
}

QString TFilenameEdit::FileName() const { return YieldedFileName(text(), exists_); }

BrowseRequest TFilenameEdit::NextRequest() const {
  BrowseRequest r;
  r.title = title_;
  r.filterLabel = filter_label_;
  r.fileName = filter_name_;
  const QString current = FileName();
  if (IsValidFileName(current)) {
    const QString folder = FolderOf(current);
    if (!folder.isEmpty() && FolderExists(folder)) r.startFolder = folder;
    r.selectedName = NameWithoutFolder(current);
  }
  return r;
}

void TFilenameEdit::Browse() {
  const std::optional<QString> chosen = dialog_ ? dialog_(window(), NextRequest()) : std::nullopt;
  if (chosen && !chosen->isEmpty()) setText(QuoteChosenName(*chosen));
  if (isEnabled() && isVisible()) setFocus(Qt::OtherFocusReason);
}

std::optional<QString> TFilenameEdit::RunFileDialog(QWidget* parent, const BrowseRequest& r) {
  QFileDialog dlg(parent, r.title);
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  dlg.setOption(QFileDialog::HideNameFilterDetails, true);
  dlg.setFileMode(QFileDialog::ExistingFile);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setNameFilter(r.filterLabel + " (" + AnyCasePattern(r.fileName) + ")");
  if (!r.startFolder.isEmpty()) dlg.setDirectory(r.startFolder);
  if (!r.selectedName.isEmpty()) dlg.selectFile(r.selectedName);
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty()) return std::nullopt;
  return QDir::toNativeSeparators(dlg.selectedFiles().first());
}

bool TFilenameEdit::FileExists(const QString& path) {
  try {
    return engine::CurrentFileSystem()->IsRegularFile(path.toStdString());
  } catch (const std::exception&) {
    return false;
  }
}

bool TFilenameEdit::FolderExists(const QString& path) {
  try {
    return engine::CurrentFileSystem()->IsDirectory(path.toStdString());
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace wizard
