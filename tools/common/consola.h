// The console of the command-line programs, as Windows and POSIX give it. Text is UTF-8 inside
// the programs; a Windows console is written wide (WriteConsoleW), so that accented letters show
// whatever its code page, and a pipe or a file gets the UTF-8 bytes. The progress line is
// rewritten in place where the console can: with "\r\033[K" on a terminal that understands it,
// with "\r" and blanks on a Windows console without virtual-terminal processing, and as one line
// each elsewhere. What the program changes of the console (its output code page) is restored
// when the program ends.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace consola {

// The program's arguments in UTF-8 (engine::ProgramArguments), each cleaned by LimpiaArgumento,
// "/?" taken as "--ayuda"; remembers the console's code page and restores it at exit.
std::vector<std::string> Argumentos(int argc, char** argv);

// An argument as the user meant it: cmd passes a quoted folder that ends in a backslash,
// "D:\Otra Copia\", as `D:\Otra Copia"` (the backslash escapes the closing quote); the stray
// quote is the backslash. No Windows file name holds a '"'.
std::string LimpiaArgumento(const std::string& arg);

// Writes UTF-8 text to `f` (stdout or stderr) as the console or the file takes it.
void Escribe(std::FILE* f, const std::string& texto);
// printf into Escribe.
void Printf(std::FILE* f, const char* formato, ...);

// True when `f` is a terminal or a console.
bool EsConsola(std::FILE* f);

// A line of `f` that is rewritten in place (a progress bar).
class LineaDeProgreso {
 public:
  explicit LineaDeProgreso(std::FILE* f);
  // Shows `texto` in place of the previous one (on a line of its own where `f` is no console).
  void Muestra(const std::string& texto);
  // Ends the line in progress, if any, so that what follows starts on a line of its own.
  void Termina();

  // How the line is rewritten, and the bytes written for `texto` after a line of `anterior`
  // characters (exposed so that each way can be tested on any system).
  enum class Modo { kLineas, kSecuencias, kBlancos };
  static std::string Texto(Modo modo, const std::string& texto, size_t anterior);

 private:
  std::FILE* f_;
  Modo modo_;
  size_t anterior_ = 0;  // characters of the line shown, 0 when none is in progress
};

}  // namespace consola
