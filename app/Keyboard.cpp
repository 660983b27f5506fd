#include "app/Keyboard.h"

#include <QAbstractButton>
#include <QEvent>
#include <QKeyEvent>

namespace wizard {

namespace {

// Return or keypad Enter with no modifier but the keypad's.
bool IsPlainReturn(const QKeyEvent& e) {
  return (e.key() == Qt::Key_Return || e.key() == Qt::Key_Enter) &&
         (e.modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

class ReturnPresses : public QObject {
 public:
  explicit ReturnPresses(QAbstractButton* button) : QObject(button), button_(button) {}

  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched != button_ || e->type() != QEvent::KeyPress) return false;
    const auto& key = static_cast<const QKeyEvent&>(*e);
    if (!IsPlainReturn(key)) return false;
    if (!key.isAutoRepeat() && button_->isEnabled()) button_->click();
    return true;
  }

 private:
  QAbstractButton* button_;
};

}  // namespace

void PressOnReturn(QAbstractButton* button) { button->installEventFilter(new ReturnPresses(button)); }

}  // namespace wizard
