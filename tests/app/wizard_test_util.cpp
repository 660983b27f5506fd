#include "wizard_test_util.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTextLayout>
#include <QtTest>

namespace wizard_test {

QStringList WhatTheBoxCuts(QMessageBox& box, const QStringList& whole) {
  box.show();
  if (!QTest::qWaitForWindowExposed(&box)) return {"(the box was not shown)"};
  auto* label = box.findChild<QLabel*>("qt_msgbox_label");
  if (label == nullptr) return {"(no label)"};
  const QRect room = label->contentsRect().adjusted(std::max(0, label->indent()), 0, 0, 0);
  QTextOption option;
  option.setWrapMode(label->wordWrap() ? QTextOption::WordWrap : QTextOption::NoWrap);
  QStringList out;
  qreal height = 0;
  for (const QString& line : label->text().split('\n')) {
    QTextLayout layout(line, label->font(), label);
    layout.setTextOption(option);
    layout.beginLayout();
    int parts = 0;
    for (QTextLine part = layout.createLine(); part.isValid(); part = layout.createLine(), ++parts) {
      part.setLineWidth(room.width());
      height += part.height();
      if (part.naturalTextWidth() > room.width()) out << line.mid(part.textStart(), part.textLength());
    }
    layout.endLayout();
    if (parts > 1 && whole.contains(line)) out << line;
  }
  if (height > room.height() + 1) out << QString("(%1 pixels of text in %2)").arg(height).arg(room.height());
  box.hide();
  return out;
}

QStringList ContextLines(const QString& text) {
  QStringList out;
  for (const QString& line : text.split('\n'))
    if (line.startsWith("Tabla: ") || line.startsWith("Carpeta: ")) out << line;
  return out;
}

MessageRecorder::MessageRecorder(bool draw) {
  previous_ = wizard::SetMessageBoxHook([this, draw](QMessageBox& box) {
    ShownBox b;
    b.text = box.text();
    b.caption = box.windowTitle();
    b.details = box.detailedText();
    b.icon = box.icon();
    b.buttons = box.standardButtons();
    b.buttonCount = static_cast<int>(box.buttons().size());
    b.parentless = box.parent() == nullptr;
    if (draw) b.cut = WhatTheBoxCuts(box, ContextLines(b.text));
    boxes_.push_back(b);
  });
}

MessageRecorder::~MessageRecorder() { wizard::SetMessageBoxHook(std::move(previous_)); }

QStringList MessageRecorder::texts() const {
  QStringList out;
  for (const ShownBox& b : boxes_) out << b.text;
  return out;
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return false;
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) return false;
  return f.write(bytes) == bytes.size();
}

}  // namespace wizard_test
