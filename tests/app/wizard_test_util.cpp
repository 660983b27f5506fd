#include "wizard_test_util.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace wizard_test {

MessageRecorder::MessageRecorder() {
  previous_ = wizard::SetMessageBoxHook([this](QMessageBox& box) {
    ShownBox b;
    b.text = box.text();
    b.caption = box.windowTitle();
    b.details = box.detailedText();
    b.icon = box.icon();
    b.buttons = box.standardButtons();
    b.buttonCount = static_cast<int>(box.buttons().size());
    b.parentless = box.parent() == nullptr;
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
