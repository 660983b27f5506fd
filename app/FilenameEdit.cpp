#include "app/FilenameEdit.h"

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QIdentityProxyModel>
#include <QKeyEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>
#include <QTreeView>

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

// The dialog's list of files in Spanish whatever translations are installed: the column titles
// and the kind of each entry ("Carpeta", "Archivo EXE").
class SpanishFileColumns : public QIdentityProxyModel {
 public:
  using QIdentityProxyModel::QIdentityProxyModel;

  QVariant headerData(int section, Qt::Orientation o, int role) const override {
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 4) {
      static const char* const kTitles[] = {"Nombre", "Tamaño", "Tipo", "Fecha de modificación"};
      return QString::fromUtf8(kTitles[section]);
    }
    return QIdentityProxyModel::headerData(section, o, role);
  }

  QVariant data(const QModelIndex& index, int role) const override {
    const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
    if (files == nullptr || index.column() != 2 || role != Qt::DisplayRole)
      return QIdentityProxyModel::data(index, role);
    return Kind(files->fileInfo(mapToSource(index)));
  }

  static QString Kind(const QFileInfo& info) {
    if (info.isRoot()) return QStringLiteral("Unidad");
    if (info.isDir()) return QStringLiteral("Carpeta");
    if (info.isSymLink()) return QStringLiteral("Acceso directo");
    const QString suffix = info.suffix();
    return suffix.isEmpty() ? QStringLiteral("Archivo") : QStringLiteral("Archivo ") + suffix.toUpper();
  }
};

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
  dlg.setViewMode(QFileDialog::Detail);
  dlg.setProxyModel(new SpanishFileColumns(&dlg));
  // Every column as wide as its title and its texts; the names take the rest. The dialog is
  // wider than the window it comes from, which is too narrow for the four columns.
  if (auto* files = dlg.findChild<QTreeView*>(QStringLiteral("treeView"))) {
    QHeaderView* titles = files->header();
    titles->setStretchLastSection(false);
    titles->setSectionResizeMode(QHeaderView::ResizeToContents);
    titles->setSectionResizeMode(0, QHeaderView::Stretch);
  }
  dlg.resize(dlg.sizeHint().expandedTo(QSize(640, 400)));
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
