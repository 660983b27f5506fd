// Texts that the upgrade shows in more than one place (the window, the command-line program and
// the check before an upgrade).
#pragma once

namespace actualiza {

// Below the error of a table that another program holds open: what the user can do about it.
inline constexpr const char* kCierreTribanor =
    "Cierre Tribanor en todos los ordenadores que usan esta instalación y vuelva a ejecutar la "
    "actualización.";

}  // namespace actualiza
