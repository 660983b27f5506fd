// Helpers shared by the wizard's tests.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <vector>

#include "app/Dialogs.h"

namespace wizard_test {

// What one message box would have shown.
struct ShownBox {
  QString text;
  QString caption;
  QString details;  // the box's detailed text ("" when it has none)
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons;
  int buttonCount = 0;
  bool parentless = false;
};

// Records every message box instead of showing it, while it lives.
class MessageRecorder {
 public:
  MessageRecorder();
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;
  const std::vector<ShownBox>& boxes() const { return boxes_; }
  QStringList texts() const;
  void clear() { boxes_.clear(); }

 private:
  std::vector<ShownBox> boxes_;
  wizard::MessageBoxHook previous_;
};

// Writes a small file (creating its folder); returns false on failure.
bool WriteFile(const QString& path, const QByteArray& bytes = "MZ");

}  // namespace wizard_test
