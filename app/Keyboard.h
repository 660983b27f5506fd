// Keys of the window's controls as the host system gives them to a keyboard user: Return or the
// keypad's Enter presses the push or tool button that has the focus (Qt presses a button only
// with Space outside dialogs).
#pragma once

class QAbstractButton;

namespace wizard {

// Makes Return and keypad Enter press `button` while it has the focus.
void PressOnReturn(QAbstractButton* button);

}  // namespace wizard
