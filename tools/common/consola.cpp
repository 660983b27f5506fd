#include "tools/common/consola.h"

#include <cstdarg>
#include <cstdlib>

#include "engine/fs.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace consola {

namespace {

// Characters of a UTF-8 text (its bytes less the continuation bytes).
size_t Caracteres(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

#ifdef _WIN32
HANDLE Manejador(std::FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

// The console behind `f`, or nullptr when `f` goes to a pipe or a file.
HANDLE ConsolaDe(std::FILE* f) {
  HANDLE h = Manejador(f);
  DWORD modo = 0;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &modo) ? h : nullptr;
}

UINT pagina_original = 0;
void RestauraPagina() {
  if (pagina_original != 0) ::SetConsoleOutputCP(pagina_original);
}
#endif

}  // namespace

std::string LimpiaArgumento(const std::string& arg) {
  if (arg.size() > 1 && arg.back() == '"' && arg.find('"') == arg.size() - 1)
    return arg.substr(0, arg.size() - 1) + '\\';
  return arg;
}

std::vector<std::string> Argumentos(int argc, char** argv) {
#ifdef _WIN32
  pagina_original = ::GetConsoleOutputCP();
  std::atexit(RestauraPagina);
#endif
  std::vector<std::string> args = engine::ProgramArguments(argc, argv);
  for (size_t i = 1; i < args.size(); ++i) args[i] = args[i] == "/?" ? "--ayuda" : LimpiaArgumento(args[i]);
  return args;
}

bool EsConsola(std::FILE* f) {
#ifdef _WIN32
  return ConsolaDe(f) != nullptr;
#else
  return isatty(fileno(f)) != 0;
#endif
}

void Escribe(std::FILE* f, const std::string& texto) {
#ifdef _WIN32
  if (HANDLE h = ConsolaDe(f)) {
    std::fflush(f);
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), nullptr, 0);
    std::wstring ancho(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, texto.data(), static_cast<int>(texto.size()), ancho.data(), n);
    DWORD escritos = 0;
    ::WriteConsoleW(h, ancho.data(), static_cast<DWORD>(ancho.size()), &escritos, nullptr);
    return;
  }
#endif
  std::fwrite(texto.data(), 1, texto.size(), f);
}

void Printf(std::FILE* f, const char* formato, ...) {
  va_list a, b;
  va_start(a, formato);
  va_copy(b, a);
  const int n = std::vsnprintf(nullptr, 0, formato, a);
  va_end(a);
  std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(s.data(), s.size() + 1, formato, b);
  va_end(b);
  Escribe(f, s);
}

LineaDeProgreso::LineaDeProgreso(std::FILE* f) : f_(f), modo_(Modo::kLineas) {
#ifdef _WIN32
  if (HANDLE h = ConsolaDe(f)) {
    DWORD modo = 0;
    ::GetConsoleMode(h, &modo);
    modo_ = (modo & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ? Modo::kSecuencias : Modo::kBlancos;
  }
#else
  if (EsConsola(f)) modo_ = Modo::kSecuencias;
#endif
}

std::string LineaDeProgreso::Texto(Modo modo, const std::string& texto, size_t anterior) {
  switch (modo) {
    case Modo::kLineas: return texto + "\n";
    case Modo::kSecuencias: return "\r\033[K" + texto;
    case Modo::kBlancos: {
      const size_t n = Caracteres(texto);
      return "\r" + texto + (anterior > n ? std::string(anterior - n, ' ') + "\r" + texto : std::string());
    }
  }
  return texto;
}

void LineaDeProgreso::Muestra(const std::string& texto) {
  Escribe(f_, Texto(modo_, texto, anterior_));
  std::fflush(f_);
  anterior_ = modo_ == Modo::kLineas ? 0 : Caracteres(texto);
}

void LineaDeProgreso::Termina() {
  if (anterior_ == 0) return;
  Escribe(f_, "\n");
  anterior_ = 0;
}

}  // namespace consola
