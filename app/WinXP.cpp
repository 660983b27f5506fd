#include "app/WinXP.h"

#include <QWidget>

namespace wizard {

namespace {
QObject* RequireForm(QObject* owner) {
  auto* w = qobject_cast<QWidget*>(owner);
  if (w == nullptr || !w->isWindow()) throw EComponentError("Control parent must be a form!");
  return owner;
}
}  // namespace

TWinXP::TWinXP(QObject* owner) : QObject(RequireForm(owner)) {
  const auto mine = owner->findChildren<TWinXP*>(Qt::FindDirectChildrenOnly);
  if (mine.size() >= 2) {
    setParent(nullptr);  // leave the owner as it was
    throw EComponentError("Only one instance of TWinXP allowed on form");
  }
}

}  // namespace wizard
