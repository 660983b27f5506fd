// TWinXP: the themed-look component of the wizard window. The themed look itself comes from the
// application manifest (Windows) or the toolkit's style; the component carries only its creation
// rule: its owner must be a window (a top-level widget), and a window holds at most one.
// Breaking the rule makes the constructor throw EComponentError and leaves the owner unchanged.
#pragma once

#include <QObject>
#include <stdexcept>

namespace wizard {

class EComponentError : public std::runtime_error {
 public:
  explicit EComponentError(const char* msg) : std::runtime_error(msg) {}
};

class TWinXP : public QObject {
  Q_OBJECT
 public:
  explicit TWinXP(QObject* owner);
};

}  // namespace wizard
