#include "app/core/Copia.h"

#include <algorithm>
#include <ctime>
#include <sstream>

#include "app/core/Pasos.h"
#include "engine/error.h"
#include "engine/path.h"
#include "engine/swap.h"
#include "engine/table.h"

namespace actualiza {

namespace {

// The manifest's first line: this name and its version, which says the kind of its checksums.
constexpr const char* kCabecera = "ACTUALIZA-COPIA ";
constexpr size_t kBloque = 1u << 20;

bool EsNumero(const std::string& s, size_t max) {
  return !s.empty() && s.size() <= max && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool EsSuma(const std::string& s) {
  return s.size() == 16 &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// "AAAAMMDD-HHMMSS", optionally followed by "-NN" for a second run in the same second.
bool EsNombreDeEjecucion(const std::string& n) {
  auto digitos = [&](size_t desde, size_t cuantos) { return EsNumero(n.substr(desde, cuantos), cuantos); };
  if (n.size() != 15 && n.size() != 18) return false;
  if (!digitos(0, 8) || n[8] != '-' || !digitos(9, 6)) return false;
  return n.size() == 15 || (n[15] == '-' && digitos(16, 2));
}

std::string HoraLocal() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
  return buf;
}

std::vector<std::string> Partes(const std::string& linea) {
  std::vector<std::string> out;
  size_t desde = 0;
  for (size_t tab; (tab = linea.find('\t', desde)) != std::string::npos; desde = tab + 1)
    out.push_back(linea.substr(desde, tab - desde));
  out.push_back(linea.substr(desde));
  return out;
}

std::string LineaFichero(const char* tipo, const FicheroGuardado& f) {
  return std::string(tipo) + "\t" + f.nombre + "\t" + std::to_string(f.bytes) + "\t" + f.suma + "\n";
}

[[noreturn]] void ManifiestoDanado(const std::string& fichero, const std::string& motivo) {
  throw engine::EDatabaseError("El manifiesto de la copia de una actualización está dañado (" + motivo +
                               "); no se puede usar para deshacerla y no se ha modificado ningún fichero.\n"
                               "Fichero: " + fichero);
}

uint64_t BytesBajo(engine::FileSystem& fs, const std::string& carpeta) {
  uint64_t total = 0;
  for (const auto& e : fs.List(carpeta)) {
    const std::string ruta = engine::JoinPath(carpeta, e.name);
    if (fs.IsSymlink(ruta)) continue;
    total += e.is_dir ? BytesBajo(fs, ruta) : fs.Open(ruta, engine::OpenMode::kRead)->Size();
  }
  return total;
}

}  // namespace

namespace {

// The files of a table's family in `carpeta`, by name, and their paths; sizes and sums to come.
void Familia(engine::FileSystem& fs, const std::string& carpeta, const std::string& tabla,
             std::vector<FicheroGuardado>& ficheros, std::vector<std::string>& rutas) {
  for (const auto& e : fs.List(carpeta)) {
    if (e.is_dir || e.name[0] == '.' || !engine::IsFamilyFileName(tabla, e.name)) continue;
    ficheros.push_back({e.name, 0, {}});
    rutas.push_back(engine::JoinPath(carpeta, e.name));
  }
}

void PorNombre(std::vector<FicheroGuardado>& ficheros) {
  std::sort(ficheros.begin(), ficheros.end(), [](const auto& a, const auto& b) { return a.nombre < b.nombre; });
}

// The sums and sizes taken, in the order of the files' names.
void ConSumas(std::vector<FicheroGuardado>& ficheros, const std::vector<uint64_t>& bytes,
              std::vector<std::string>& sumas) {
  for (size_t i = 0; i < ficheros.size(); ++i) ficheros[i].bytes = bytes[i], ficheros[i].suma = std::move(sumas[i]);
  PorNombre(ficheros);
}


#ifdef _WIN32
// A file open to read there keeps out the step's exclusive open (sharing modes).
constexpr bool kSumasAparte = false;
#else
constexpr bool kSumasAparte = true;
#endif

}  // namespace

std::vector<FicheroGuardado> FicherosDeTabla(const std::string& carpeta, const std::string& tabla, TipoDeSuma tipo) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::vector<FicheroGuardado> out;
  std::vector<std::string> rutas;
  Familia(fs, carpeta, tabla, out, rutas);
  std::vector<uint64_t> bytes;
  std::vector<std::string> sumas = SumasDe(fs, rutas, bytes, tipo);
  ConSumas(out, bytes, sumas);
  return out;
}

// The record EmpiezaAntes began: the table's files kept in the copy, their sums being taken.
struct CopiaDeSeguridad::Pendiente {
  std::string clave;                       // "carpeta\ttabla"
  std::string lineas;                      // the record's first line
  std::vector<FicheroGuardado> ficheros;   // by the listing's order until the sums come
  std::vector<std::string> rutas;
  std::vector<uint64_t> bytes;             // taken here, or by `aparte`
  std::vector<std::string> sumas;
  std::unique_ptr<SumasAparte> aparte;
};

bool EnlazaOCopia(const std::string& de, const std::string& a) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  // Whatever an interrupted attempt left there goes first: a copy written over it could write
  // into a file that another name shares.
  fs.Remove(a);
  try {
    fs.HardLink(de, a);
    return true;
  } catch (const engine::EngineError&) {
    // No links here: a copy.
  }
  CopiaFichero(de, a);
  return false;
}

void CopiaFichero(const std::string& de, const std::string& a) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  fs.Remove(a);
  auto in = fs.Open(de, engine::OpenMode::kRead);
  auto out = fs.Open(a, engine::OpenMode::kCreateExclusive);
  std::vector<char> buf(kBloque);
  uint64_t pos = 0;
  for (size_t n; (n = in->ReadAt(pos, buf.data(), buf.size())) > 0; pos += n) out->WriteAt(pos, buf.data(), n);
  out->Sync();
}

std::string RaizInstalacion(const std::string& ruta) {
  auto r = engine::ResolveExisting(engine::NormalizeSeparators(ruta.empty() ? "." : ruta));
  return r && engine::CurrentFileSystem()->IsDirectory(*r) ? *r : std::string();
}

std::vector<std::string> CopiasDe(const std::string& raiz) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string copias = engine::JoinPath(raiz, kCarpetaCopias);
  std::vector<std::string> out;
  if (fs.IsSymlink(copias) || !fs.IsDirectory(copias)) return out;
  for (const auto& e : fs.List(copias))
    if (e.is_dir && EsNombreDeEjecucion(e.name)) out.push_back(e.name);
  std::sort(out.begin(), out.end());
  return out;
}

bool ComponenteValido(const std::string& nombre) {
  return Pasos::NombreNoValido(nombre).empty() && !engine::SameNameIgnoringCase(nombre, kCarpetaCopias);
}

Manifiesto LeeManifiesto(const std::string& carpeta_ejecucion) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string fichero = engine::JoinPath(carpeta_ejecucion, kManifiesto);
  if (!fs.IsRegularFile(fichero)) ManifiestoDanado(fichero, "falta");
  std::istringstream in(engine::ReadWholeFile(fs, fichero));
  Manifiesto m;
  std::string linea;
  if (!std::getline(in, linea) || linea.rfind(kCabecera, 0) != 0) ManifiestoDanado(fichero, "no empieza como debe");
  const std::string version = linea.substr(std::char_traits<char>::length(kCabecera));
  if (version == std::to_string(static_cast<int>(TipoDeSuma::kSerie))) m.suma = TipoDeSuma::kSerie;
  else if (version == std::to_string(static_cast<int>(TipoDeSuma::kCuatroCarriles))) m.suma = TipoDeSuma::kCuatroCarriles;
  else if (EsNumero(version, 9) && std::stoi(version) > static_cast<int>(kSumaActual))
    throw CopiaMasReciente("La copia de esta actualización la hizo una versión más reciente del programa de "
                           "actualización (su manifiesto es de la versión " + version +
                           "); deshágala con esa versión. No se ha modificado ningún fichero.\nFichero: " +
                           fichero);
  else ManifiestoDanado(fichero, "no empieza como debe");
  if (!std::getline(in, linea) || linea != "ejecucion\t" + engine::BaseName(carpeta_ejecucion))
    ManifiestoDanado(fichero, "no es el de su carpeta");
  m.ejecucion = engine::BaseName(carpeta_ejecucion);
  // Lines come in groups that a line of their own closes ("copiada", "fin", "igual"); each group
  // was written and made durable at once, so only the last one can be cut short (by a crash), and
  // that one is not taken.
  TablaGuardada* actual = nullptr;
  std::vector<FicheroGuardado> grupo;
  bool abierto = false;
  int numero = 2;
  while (std::getline(in, linea)) {
    ++numero;
    if (in.eof()) break;  // a last line without its end: cut short
    const auto p = Partes(linea);
    const std::string donde = "línea " + std::to_string(numero);
    if (p[0] == "tabla" && p.size() == 3 && !abierto) {
      std::vector<std::string> carpetas;
      std::istringstream c(p[1]);
      for (std::string parte; std::getline(c, parte, '/');) carpetas.push_back(parte);
      if (carpetas.empty() || !std::all_of(carpetas.begin(), carpetas.end(), ComponenteValido) ||
          p[2].empty() || p[2][0] == '.' || !engine::IsFamilyFileName(p[2], p[2]))
        ManifiestoDanado(fichero, donde + ": nombra una carpeta o una tabla que no es de la instalación");
      auto it = std::find_if(m.tablas.begin(), m.tablas.end(),
                             [&](const TablaGuardada& t) { return t.carpeta == p[1] && t.tabla == p[2]; });
      if (it == m.tablas.end()) it = m.tablas.insert(m.tablas.end(), TablaGuardada{p[1], p[2], {}, {}, false});
      actual = &*it;
      abierto = true;
      grupo.clear();
    } else if ((p[0] == "antes" || p[0] == "despues") && p.size() == 4 && abierto) {
      if (!engine::IsFamilyFileName(actual->tabla, p[1]) || p[1][0] == '.' || !EsNumero(p[2], 19) || !EsSuma(p[3]))
        ManifiestoDanado(fichero, donde + ": un fichero mal descrito");
      grupo.push_back({p[1], std::stoull(p[2]), p[3]});
    } else if (p[0] == "copiada" && p.size() == 1 && abierto) {
      if (!actual->antes.empty() || actual->terminada) ManifiestoDanado(fichero, donde + ": una tabla copiada dos veces");
      actual->antes = grupo;
      abierto = false;
    } else if (p[0] == "fin" && p.size() == 1 && abierto) {
      actual->despues = grupo;
      actual->terminada = true;
      abierto = false;
    } else if (p[0] == "igual" && p.size() == 1 && abierto && grupo.empty()) {
      m.tablas.erase(m.tablas.begin() + (actual - m.tablas.data()));
      actual = nullptr;
      abierto = false;
    } else if (p[0] == "deshecha" && !abierto) {
      m.deshecha = true;
    } else {
      ManifiestoDanado(fichero, donde + ": no se entiende");
    }
  }
  if (abierto && actual && actual->antes.empty() && !actual->terminada && grupo.empty())
    m.tablas.erase(m.tablas.begin() + (actual - m.tablas.data()));  // its copy never became durable
  for (auto& t : m.tablas) {
    auto por_nombre = [](const auto& a, const auto& b) { return a.nombre < b.nombre; };
    std::sort(t.antes.begin(), t.antes.end(), por_nombre);
    std::sort(t.despues.begin(), t.despues.end(), por_nombre);
  }
  return m;
}

void BorraArbol(const std::string& carpeta) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  if (fs.IsSymlink(carpeta) || !fs.IsDirectory(carpeta)) {
    fs.Remove(carpeta);
    return;
  }
  // The manifest first: a folder half removed is never taken for a whole copy.
  fs.Remove(engine::JoinPath(carpeta, kManifiesto));
  for (const auto& e : fs.List(carpeta)) {
    const std::string ruta = engine::JoinPath(carpeta, e.name);
    if (e.is_dir && !fs.IsSymlink(ruta)) BorraArbol(ruta);
    else fs.Remove(ruta);
  }
  fs.RemoveEmptyDirectory(carpeta);
}

std::vector<std::string> DescribeCopias(const std::string& ruta) {
  const std::string raiz = RaizInstalacion(ruta);
  std::vector<std::string> out;
  if (raiz.empty()) return out;
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  for (const auto& n : CopiasDe(raiz)) {
    const std::string carpeta = engine::JoinPath(engine::JoinPath(raiz, kCarpetaCopias), n);
    std::string estado;
    try {
      Manifiesto m = LeeManifiesto(carpeta);
      estado = std::to_string(m.tablas.size()) + (m.tablas.size() == 1 ? " tabla" : " tablas") +
               (m.deshecha ? ", ya deshecha" : "");
    } catch (const CopiaMasReciente&) {
      estado = "hecha por una versión más reciente del programa";
    } catch (const engine::EDatabaseError&) {
      estado = "manifiesto dañado";
    }
    out.push_back(n + ": " + estado + ", " + std::to_string(BytesBajo(fs, carpeta)) + " bytes");
  }
  return out;
}

CopiaDeSeguridad::CopiaDeSeguridad(const std::string& ruta, std::string nombre)
    : raiz_(RaizInstalacion(ruta)), nombre_(std::move(nombre)) {}

CopiaDeSeguridad::~CopiaDeSeguridad() {
  pendiente_.reset();  // their threads stopped first
  nuevos_.reset();
  retenida_tabla_.reset();
  retenida_.reset();
  if (carpeta_.empty()) return;
  if (cambiadas_ > 0) {
    // What the steps left is recorded without waiting for the disk, each step's record made
    // durable by the next table's copy; the last ones here. Lost by a crash, they make an undo
    // refuse the tables they were about, never put back a wrong file.
    try {
      engine::CurrentFileSystem()->Open(engine::JoinPath(carpeta_, kManifiesto), engine::OpenMode::kReadWrite)->Sync();
    } catch (...) {
    }
    return;
  }
  try {
    BorraArbol(carpeta_);
    engine::CurrentFileSystem()->RemoveEmptyDirectory(engine::JoinPath(raiz_, kCarpetaCopias));
  } catch (...) {
    // A copy of nothing left behind takes room, no more; the next run's pruning removes it.
  }
}

bool CopiaDeSeguridad::Relativa(const std::string& carpeta, std::string* dir, std::string* rel) const {
  if (raiz_.empty()) return false;
  if (auto it = relativas_.find(carpeta); it != relativas_.end()) {
    *dir = it->second.first;
    *rel = it->second.second;
    return true;
  }
  auto r = engine::ResolveExisting(engine::NormalizeSeparators(carpeta));
  if (!r || !engine::CurrentFileSystem()->IsDirectory(*r)) return false;
  const std::string prefijo = raiz_ == "." ? "" : raiz_ == "/" ? raiz_ : raiz_ + "/";
  if (r->compare(0, prefijo.size(), prefijo) != 0 || r->size() == prefijo.size() || (*r)[prefijo.size()] == '/')
    throw engine::EDatabaseError("La carpeta " + *r + " no está dentro de la instalación " + raiz_ +
                                 " y no se puede guardar su copia; no se ha modificado la tabla " + carpeta + ".");
  *dir = *r;
  *rel = r->substr(prefijo.size());
  relativas_[carpeta] = {*dir, *rel};
  return true;
}

void CopiaDeSeguridad::Empieza() {
  if (!carpeta_.empty()) return;
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string copias = engine::JoinPath(raiz_, kCarpetaCopias);
  if (fs.IsSymlink(copias) || (fs.Exists(copias) && !fs.IsDirectory(copias)))
    throw engine::EDatabaseError("La carpeta de copias " + copias +
                                 " es un enlace simbólico o no es una carpeta, y las copias podrían ir a parar a otro "
                                 "sitio. Quítela y vuelva a actualizar; no se ha modificado ningún fichero.");
  // The older copies go, so that with this one the last runs' are kept.
  std::vector<std::string> previas = CopiasDe(raiz_);
  for (size_t i = 0; i + kCopiasGuardadas <= previas.size(); ++i) BorraArbol(engine::JoinPath(copias, previas[i]));
  std::string nombre = nombre_.empty() ? HoraLocal() : nombre_;
  // Later than every copy kept (the clock may have gone back), and a name of its own.
  if (!previas.empty() && nombre <= previas.back()) {
    const std::string& ultima = previas.back();
    const int n = ultima.size() == 18 ? std::stoi(ultima.substr(16)) + 1 : 1;
    if (n > 99) throw engine::EDatabaseError("Hay demasiadas copias de actualizaciones en " + copias + ".");
    nombre = ultima.substr(0, 15) + (n < 10 ? "-0" : "-") + std::to_string(n);
  }
  fs.CreateDirectory(copias);
  const std::string carpeta = engine::JoinPath(copias, nombre);
  fs.CreateDirectory(carpeta);
  retenida_ = std::make_unique<engine::HeldFolder>(carpeta);
  const std::string texto =
      kCabecera + std::to_string(static_cast<int>(kSumaActual)) + "\nejecucion\t" + nombre + "\n";
  auto f = fs.Open(engine::JoinPath(carpeta, kManifiesto), engine::OpenMode::kCreateExclusive);
  f->WriteAt(0, texto.data(), texto.size());
  f->Sync();
  fs.SyncDirectory(carpeta);
  fs.SyncDirectory(copias);
  fs.SyncDirectory(raiz_);
  carpeta_ = carpeta;
}

void CopiaDeSeguridad::Anota(const std::string& lineas, bool asegura) {
  auto f = engine::CurrentFileSystem()->Open(engine::JoinPath(carpeta_, kManifiesto), engine::OpenMode::kReadWrite);
  if (!lineas.empty()) f->WriteAt(f->Size(), lineas.data(), lineas.size());
  if (asegura) f->Sync();
  sin_asegurar_ = !asegura;
}

void CopiaDeSeguridad::Antes(const std::string& carpeta, const std::string& tabla) {
  Guarda(carpeta, tabla, false);
  TerminaAntes();
}

void CopiaDeSeguridad::EmpiezaAntes(const std::string& carpeta, const std::string& tabla) {
  Guarda(carpeta, tabla, kSumasAparte);
}

void CopiaDeSeguridad::Guarda(const std::string& carpeta, const std::string& tabla, bool aparte) {
  TerminaAntes();  // one record at a time
  std::string dir, rel;
  if (!Relativa(carpeta, &dir, &rel) || copiadas_.count(rel + "\t" + tabla)) return;
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  // A swap left unfinished is finished first: the copy is of a whole table.
  const std::string tabla_path = engine::ResolveForCreate(engine::JoinPath(dir, tabla)).value_or(engine::JoinPath(dir, tabla));
  if (engine::SwapPending(tabla_path)) engine::RecoverSwap(tabla_path);
  auto p = std::make_unique<Pendiente>();
  p->clave = rel + "\t" + tabla;
  p->lineas = "tabla\t" + rel + "\t" + tabla + "\n";
  Familia(fs, dir, tabla, p->ficheros, p->rutas);
  const std::vector<FicheroGuardado>& ficheros = p->ficheros;
  Empieza();
  // The earlier steps' records are durable before this step can change anything, as its own
  // record, which would have made them so, comes only at its first swap.
  if (aparte && sin_asegurar_) Anota("", true);
  // A table the run creates has nothing to keep: its record alone says that an undo removes it.
  if (!ficheros.empty()) {
    // The folders of the copy: a new one is made durable in its parent, the table's own below.
    std::vector<std::string> carpetas = {carpeta_}, a_asegurar;
    std::istringstream partes(rel);
    for (std::string parte; std::getline(partes, parte, '/');) {
      carpetas.push_back(engine::JoinPath(carpetas.back(), parte));
      if (hechas_.count(carpetas.back()) || fs.IsDirectory(carpetas.back())) continue;
      fs.CreateDirectory(carpetas.back());
      a_asegurar.push_back(carpetas[carpetas.size() - 2]);
    }
    retenida_tabla_ = std::make_unique<engine::HeldFolder>(carpetas.back());
    for (size_t i = 0; i < ficheros.size(); ++i) {
      const std::string destino = engine::JoinPath(carpetas.back(), ficheros[i].nombre);
      // A file of no bytes is copied: a table made again where one lies is written into that file.
      if (fs.Inspect(p->rutas[i]).size == 0) {
        fs.Remove(destino);
        fs.Open(destino, engine::OpenMode::kCreateExclusive)->Sync();
      } else {
        EnlazaOCopia(p->rutas[i], destino);
      }
    }
    fs.SyncDirectory(carpetas.back());
    for (auto it = a_asegurar.rbegin(); it != a_asegurar.rend(); ++it) fs.SyncDirectory(*it);
    hechas_.insert(carpetas.begin() + 1, carpetas.end());
  }
  // The sums are of the table's own files, which nothing changes before the step's first swap.
  if (aparte && !ficheros.empty()) {
    p->aparte = std::make_unique<SumasAparte>(AbreParaSumar(fs, p->rutas));
  } else {
    p->sumas = SumasDe(fs, p->rutas, p->bytes);
  }
  pendiente_ = std::move(p);
}

void CopiaDeSeguridad::TerminaAntes() {
  if (!pendiente_) return;
  std::unique_ptr<Pendiente> p = std::move(pendiente_);
  if (p->aparte) {
    p->aparte->Espera();
    p->bytes = std::move(p->aparte->bytes);
    p->sumas = std::move(p->aparte->sumas);
  }
  ConSumas(p->ficheros, p->bytes, p->sumas);
  std::string lineas = p->lineas;
  for (const auto& f : p->ficheros) lineas += LineaFichero("antes", f);
  Anota(lineas + "copiada\n", true);
  copiadas_[p->clave] = {std::move(p->ficheros), false};
}

// The sums EmpiezaDespues began: a step's new files in its work folder, by name and identity.
struct CopiaDeSeguridad::Nuevos {
  std::string clave;  // "carpeta\ttabla"
  std::vector<std::string> nombres;
  std::vector<engine::FileId> ids;
  // Its files are kept open until Despues has compared them with the files in place: while a
  // file is open, no other file can come to have its identity.
  std::unique_ptr<SumasAparte> sumas;
};

void CopiaDeSeguridad::EmpiezaDespues(const std::string& carpeta, const std::string& tabla) noexcept {
  if (!kSumasAparte) return;
  try {
    nuevos_.reset();
    std::string dir, rel;
    if (!Relativa(carpeta, &dir, &rel) || !copiadas_.count(rel + "\t" + tabla)) return;
    engine::FileSystem& fs = *engine::CurrentFileSystem();
    const std::string trabajo = engine::SwapTempDir(engine::JoinPath(dir, tabla));
    auto n = std::make_unique<Nuevos>();
    n->clave = rel + "\t" + tabla;
    std::vector<std::unique_ptr<engine::File>> abiertos;
    for (const auto& e : fs.List(trabajo)) {
      if (e.is_dir || !engine::IsFamilyFileName(tabla, e.name)) continue;
      const std::string ruta = engine::JoinPath(trabajo, e.name);
      n->nombres.push_back(e.name);
      abiertos.push_back(fs.Open(ruta, engine::OpenMode::kRead));
      n->ids.push_back(fs.Identity(ruta));  // the work folder is in use: that file still
    }
    n->sumas = std::make_unique<SumasAparte>(std::move(abiertos));
    nuevos_ = std::move(n);
  } catch (...) {
    nuevos_.reset();
  }
}

// The table's files now, with their sums: those EmpiezaDespues took for the very file now in
// place, the others taken here.
std::vector<FicheroGuardado> CopiaDeSeguridad::Ahora(const std::string& dir, const std::string& tabla,
                                                      const std::string& clave) {
  std::unique_ptr<Nuevos> n = std::move(nuevos_);
  try {
    if (n) n->sumas->Espera();
  } catch (...) {
    n.reset();  // summed here instead
  }
  if (!n || n->clave != clave) return FicherosDeTabla(dir, tabla);
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  std::vector<FicheroGuardado> ficheros;
  std::vector<std::string> rutas, resto;
  Familia(fs, dir, tabla, ficheros, rutas);
  std::vector<size_t> sin_suma;
  for (size_t i = 0; i < ficheros.size(); ++i) {
    size_t j = 0;
    while (j < n->nombres.size() && n->nombres[j] != ficheros[i].nombre) ++j;
    if (j < n->nombres.size() && fs.Identity(rutas[i]) == n->ids[j]) {
      ficheros[i].bytes = n->sumas->bytes[j];
      ficheros[i].suma = n->sumas->sumas[j];
    } else {
      sin_suma.push_back(i);
      resto.push_back(rutas[i]);
    }
  }
  std::vector<uint64_t> bytes;
  std::vector<std::string> sumas = SumasDe(fs, resto, bytes);
  for (size_t k = 0; k < sin_suma.size(); ++k) {
    ficheros[sin_suma[k]].bytes = bytes[k];
    ficheros[sin_suma[k]].suma = std::move(sumas[k]);
  }
  PorNombre(ficheros);
  return ficheros;
}

void CopiaDeSeguridad::Despues(const std::string& carpeta, const std::string& tabla) {
  std::string dir, rel;
  if (!Relativa(carpeta, &dir, &rel)) return;
  auto it = copiadas_.find(rel + "\t" + tabla);
  if (it == copiadas_.end()) return;
  const std::vector<FicheroGuardado> ahora = Ahora(dir, tabla, it->first);
  std::string lineas = "tabla\t" + rel + "\t" + tabla + "\n";
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string copia = engine::JoinPath(carpeta_, rel);
  if (ahora == it->second.antes && !it->second.terminada) {
    // Nothing changed: no copy kept of it.
    Anota(lineas + "igual\n", false);
    for (const auto& f : it->second.antes) fs.Remove(engine::JoinPath(copia, f.nombre));
    copiadas_.erase(it);
    return;
  }
  for (const auto& f : ahora) lineas += LineaFichero("despues", f);
  Anota(lineas + "fin\n", false);
  it->second.terminada = true;
  // What is kept is read again only by an undo: its pages leave the cache, and their memory
  // serves the tables the run writes next instead of memory the system must find anew.
  for (const auto& f : it->second.antes) fs.DropCachedPages(engine::JoinPath(copia, f.nombre));
  ++cambiadas_;
}

}  // namespace actualiza
