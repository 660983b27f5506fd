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
  QStringList cut;  // what the box, shown, cut off (WhatTheBoxCuts), when the recorder draws
};

// Shows the box and lays out its text as its label draws it (the label's font, its width after
// the box's layout, its word wrap): returns the lines, or parts of lines, that do not fit inside
// the label's rectangle, and every line of `whole` that the label breaks. Empty when all is drawn.
QStringList WhatTheBoxCuts(QMessageBox& box, const QStringList& whole = {});
// The lines of a box's text that name a table or a folder ("Tabla: ", "Carpeta: ").
QStringList ContextLines(const QString& text);

// Records every message box instead of showing it, while it lives.
class MessageRecorder {
 public:
  // With `draw`, every box is also shown and what it cuts recorded (ShownBox::cut).
  explicit MessageRecorder(bool draw = false);
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
