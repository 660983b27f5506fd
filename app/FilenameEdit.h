// TFilenameEdit: a line edit that cannot be typed into, with a browse button inside its right
// edge that opens an open-file dialog. Its text changes only through that dialog (or SetText by
// the program). The dialog is a hook, so that tests can answer it; by default it is a
// non-native QFileDialog.
//
// From the keyboard, as a drop-down edit of the host system: Alt+Down and F4 on the edit open
// the dialog, and so does Ctrl+Return; the browse button comes next in the tab order and is
// pressed with Space, Return or keypad Enter.
#pragma once

#include <QLineEdit>
#include <QString>
#include <functional>
#include <optional>

class QToolButton;

namespace wizard {

// What the browse button asks of the dialog.
struct BrowseRequest {
  QString title;         // window title
  QString filterLabel;   // the filter as the user sees it ("TRIBANOR.EXE")
  QString fileName;      // the only name the dialog lists, matched without regard to case
  QString startFolder;   // "" when the dialog picks its own
  QString selectedName;  // name preselected in the dialog, "" for none
};

class TFilenameEdit : public QLineEdit {
  Q_OBJECT
 public:
  // Returns the chosen file's full name, or nothing when the user cancels.
  using DialogFn = std::function<std::optional<QString>(QWidget* parent, const BrowseRequest&)>;
  using ExistsFn = std::function<bool(const QString&)>;

  explicit TFilenameEdit(QWidget* parent = nullptr);

  // The file name the text yields (see FileNameRules.h).
  QString FileName() const;

  void SetDialogTitle(const QString& t) { title_ = t; }
  // The only file name the dialog offers; shown as `label`.
  void SetFilter(const QString& label, const QString& fileName) {
    filter_label_ = label;
    filter_name_ = fileName;
  }
  void SetDialogHook(DialogFn fn) { dialog_ = std::move(fn); }
  // File-existence test (defaults to the engine's file-system layer).
  void SetExistsHook(ExistsFn fn) { exists_ = std::move(fn); }
  // The file-existence test in use.
  bool Exists(const QString& path) const { return exists_ && exists_(path); }
  QToolButton* BrowseButton() const { return button_; }

  // What the next dialog would be asked (start folder and preselected name from the text).
  BrowseRequest NextRequest() const;
  // Opens the dialog, as a click on the browse button does.
  void Browse();

  // The default dialog: a non-native QFileDialog listing only files of the request's name,
  // whatever their letter case.
  static std::optional<QString> RunFileDialog(QWidget* parent, const BrowseRequest& r);
  // The file system's answer (regular files only; folders do not count).
  static bool FileExists(const QString& path);
  static bool FolderExists(const QString& path);

 protected:
  void resizeEvent(QResizeEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  QToolButton* button_;
  QString title_, filter_label_, filter_name_;
  DialogFn dialog_;
  ExistsFn exists_;
};

}  // namespace wizard
