#include "app/core/ComprobarTabla.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <utility>

#include "app/core/Avisos.h"
#include "app/core/Contexto.h"
#include "app/core/Pasos.h"
#include "engine/bde.h"
#include "engine/codepage.h"
#include "engine/database.h"
#include "engine/dbase/dbase.h"
#include "engine/error.h"
#include "engine/fs.h"
#include "engine/path.h"
#include "engine/swap.h"
#include "engine/table.h"
#include "restructure/Restructure.h"

namespace actualiza {

using engine::TTable;

namespace {

struct Campo {
  std::string nombre;
  uint16_t tipo;
  int longitud, decimales;
};

// A field to add: its name and width.
using Nuevo = std::pair<const char*, int>;

// The fields of a table, read through the engine; throws the table layer's errors.
std::vector<Campo> CamposDe(TTable& t) {
  engine::Check(bde::DbiSetProp(t.Handle(), bde::curXLTMODE, bde::xltNONE));
  bde::CURProps props;
  engine::Check(bde::DbiGetCursorProps(t.Handle(), props));
  std::vector<bde::FLDDesc> d(props.iFields);
  if (!d.empty()) engine::Check(bde::DbiGetFieldDescs(t.Handle(), d.data()));
  std::vector<Campo> out;
  for (const auto& f : d) out.push_back({f.szName, f.iFldType, f.iUnits1, f.iUnits2});
  return out;
}

const Campo* Busca(const std::vector<Campo>& campos, const std::string& nombre) {
  for (const auto& c : campos)
    if (engine::FoldCase(c.nombre) == engine::FoldCase(nombre)) return &c;
  return nullptr;
}

// The table's main file as the engine finds it; "" when its folder cannot be used.
std::string Ruta(const EstadoTabla& e) {
  try {
    return engine::OpenDatabase(e.carpeta)->TablePath(e.fichero, engine::TableFormat::kDbase);
  } catch (const std::exception&) {
    return "";
  }
}

void Ocupada(EstadoTabla& e) {
  e.problemas.push_back(std::string(restructure::texts::kTableNotOpenedExclusive) + "\n" + kCierreTribanor);
}

// A table that cannot be opened: the component's text, as its step would raise it, and the
// engine's reason under it.
std::string NoSeAbre(const std::exception& x) {
  return std::string(restructure::texts::kTableNotOpened) + "\n" + SeparaContexto(x.what()).texto;
}

// Records a table whose file holds rows past the ones its header counts: the upgrade refuses to
// rebuild it, since the rows past the count would be lost.
void RegistrosDeMas(const std::string& ruta, EstadoTabla& e) {
  try {
    const std::string mas = engine::dbase::RecordsPastCountProblem(ruta);
    if (!mas.empty())
      e.problemas.push_back(mas + "; la tabla está dañada y la actualización no la reconstruirá (se perderían esos "
                                  "registros): repárela o restaure una copia de seguridad.");
  } catch (const std::exception&) {
    // A table that cannot be opened: the open that follows says why.
  }
}

// Opens a table to read its structure; records why when it cannot. `ruta`: its file, Ruta(e).
bool Abre(TTable& t, EstadoTabla& e, const std::string& ruta) {
  t.SetDatabaseName(e.carpeta);
  t.SetTableName(e.fichero);
  t.SetReadOnly(true);  // the check changes nothing, and works on read-only media
  if (!ruta.empty() && engine::SwapPending(ruta)) {
    std::string problema;
    try {
      problema = engine::SwapJournalProblem(ruta);
    } catch (const std::exception& x) {
      problema = SeparaContexto(x.what()).texto;
    }
    if (!problema.empty()) {
      // Another journal's, or one nothing can trust: the upgrade would refuse to open the table.
      e.problemas.push_back("una reestructuración de la tabla quedó interrumpida y no se puede terminar (" + problema +
                            "); no se ha tocado ningún fichero. Conserve una copia de la carpeta y avise al servicio "
                            "técnico.");
      return false;
    }
    // Finishing it is a change: the upgrade does it when it opens the table.
    e.cambios.push_back("una reestructuración interrumpida de la tabla se completará al actualizar");
    e.escribe = true;
    return false;
  }
  if (!ruta.empty()) RegistrosDeMas(ruta, e);  // before the table is opened below
  try {
    t.Open();
    return true;
  } catch (const engine::EDBEngineError& x) {
    if (x.ErrorCode() == engine::err::kTableInUse) {
      Ocupada(e);
      return false;
    }
    e.problemas.push_back(NoSeAbre(x));
  } catch (const std::exception& x) {
    e.problemas.push_back(NoSeAbre(x));
  }
  if (e.problemas.back().back() != '.') e.problemas.back() += '.';
  return false;
}

// The bytes of the table's files (table, memos, indexes); `tabla` gets those of its own file.
uint64_t BytesDeLaFamilia(const std::string& ruta, uint64_t& tabla) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  const std::string carpeta = engine::DirName(ruta), nombre = engine::BaseName(ruta);
  uint64_t total = 0;
  tabla = 0;
  for (const auto& f : fs.List(carpeta.empty() ? "." : carpeta))
    if (!f.is_dir && engine::IsFamilyFileName(nombre, f.name)) {
      const uint64_t bytes = fs.Open(engine::JoinPath(carpeta, f.name), engine::OpenMode::kRead)->Size();
      total += bytes;
      if (f.name == nombre) tabla = bytes;
    }
  return total;
}

// What the rebuild writes: the files as they are, each row wider by the fields added, a wider
// header, and room for the memo and index files' own blocks. The rows are bounded by the table
// file's size over the record's (the header's count would need a walk past the deleted rows).
uint64_t Estima(TTable& t, const std::string& ruta, const std::vector<Nuevo>& anadidos) {
  uint64_t ancho = 0;
  for (const auto& [nombre, longitud] : anadidos) ancho += static_cast<uint64_t>(longitud);
  bde::CURProps props;
  engine::Check(bde::DbiGetCursorProps(t.Handle(), props));
  uint64_t tabla = 0;
  const uint64_t familia = BytesDeLaFamilia(ruta, tabla);
  const uint64_t filas = props.iRecSize > 0 ? tabla / props.iRecSize : 0;
  return familia + filas * ancho + 32 * anadidos.size() + 64 * 1024;
}

// Whether another program holds the table whose file is `ruta` ("" when its folder cannot be used).
bool Retenida(const std::string& ruta) {
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  if (ruta.empty() || !fs.IsRegularFile(ruta)) return false;
  auto retenido = [&](const std::string& fichero) {
    if (fichero.empty()) return false;
    try {
      try {
        return engine::OpenExclusively(fs, fichero, true) == nullptr;
      } catch (const engine::EngineError&) {
        // Cannot be opened for writing (read-only media): the lock alone tells whether it is held.
        return engine::OpenExclusively(fs, fichero, false) == nullptr;
      }
    } catch (const std::exception&) {
      return false;  // not held: what keeps it from being opened is told where it is opened
    }
  };
  if (retenido(ruta)) return true;
  // The step's exclusive open locks the memo file and the index as it locks the table: those of
  // its name in any letter case, found in one listing of the folder.
  const std::string carpeta = engine::DirName(ruta), nombre = engine::BaseName(ruta);
  const std::string dbt = engine::ReplaceExtension(nombre, "DBT"), mdx = engine::ReplaceExtension(nombre, "MDX");
  for (const auto& f : fs.List(carpeta.empty() ? "." : carpeta))
    if (!f.is_dir && (engine::SameNameIgnoringCase(f.name, dbt) || engine::SameNameIgnoringCase(f.name, mdx)) &&
        retenido(engine::JoinPath(carpeta, f.name)))
      return true;
  return false;
}

// The run's step opens the table exclusively: so must the check, now, and let it go at once.
void CompruebaExclusiva(EstadoTabla& e, const std::string& ruta) {
  if (Retenida(ruta)) Ocupada(e);
}

// Reads the fields of an existing table (its file `ruta`) and notes the ones to add; the table is
// closed after. Returns how many fields it adds.
size_t CompruebaCampos(EstadoTabla& e, const std::string& ruta, const std::vector<Nuevo>& campos, const char* decimales,
                       const std::function<void(TTable&, const std::vector<Campo>&)>& mas = {}) {
  TTable t;
  if (!Abre(t, e, ruta)) return 0;
  const std::vector<Campo> existentes = CamposDe(t);
  std::vector<Nuevo> anadidos;
  for (const auto& c : campos)
    if (!Busca(existentes, c.first)) {
      anadidos.push_back(c);
      e.cambios.push_back(std::string("añadir ") + c.first + " N(" + std::to_string(c.second) + "," + decimales + ")");
    }
  if (mas) mas(t, existentes);
  e.escribe = e.escribe || !anadidos.empty();
  if (e.escribe) e.bytes_nuevos = Estima(t, ruta, anadidos);
  return anadidos.size();
}

}  // namespace

bool OtroLaRetiene(const std::string& carpeta, const std::string& tabla) { return Retenida(Ruta({"", carpeta, tabla, {}, {}})); }

EstadoTabla ComprobarClientes(const std::string& carpeta, const std::string& relativa) {
  EstadoTabla e{relativa + "/Clientes.Dbf", carpeta, "Clientes.Dbf", {}, {}};
  const std::string ruta = Ruta(e);
  CompruebaCampos(e, ruta, {{"SA", 12}, {"SC", 12}}, "2");
  if (e.escribe && e.problemas.empty()) CompruebaExclusiva(e, ruta);
  return e;
}

EstadoTabla ComprobarConfiguracion(const std::string& carpeta) {
  EstadoTabla e{"General/Configu.Dbf", carpeta, "Configu.Dbf", {}, {}};
  const std::string ruta = Ruta(e);
  if (CompruebaCampos(e, ruta, {{"Color1", kAnchoColor1}, {"Color2", 7}, {"Fondo1", 8}, {"Fondo2", 9}}, "0") > 0)
    e.cambios.push_back("escribir los colores por defecto donde falten");
  if (e.escribe && e.problemas.empty()) CompruebaExclusiva(e, ruta);
  return e;
}

EstadoTabla ComprobarExistencias(const std::string& carpeta, const std::string& relativa) {
  EstadoTabla e{relativa + "/Existencias.dbf", carpeta, "Existencias.dbf", {}, {}};
  e.escribe = true;  // the step rebuilds it on every run
  const std::string ruta = Ruta(e);
  engine::FileSystem& fs = *engine::CurrentFileSystem();
  if (ruta.empty()) {
    e.problemas.push_back("No existe la carpeta de datos. Compruebe la instalación y vuelva a actualizar.");
    return e;
  }
  const bool existe = fs.IsRegularFile(ruta);
  if (!existe || fs.Open(ruta, engine::OpenMode::kRead)->Size() == 0) {
    e.cambios.push_back(existe ? "la tabla está vacía (0 bytes, sin datos): se volverá a crear con Criterio N(1,0) y los diez importes"
                                               : "crear la tabla con Criterio N(1,0) y los diez importes");
    e.bytes_nuevos = 64 * 1024;
    return e;
  }
  CompruebaCampos(e, ruta,
                  {{"Iniciales", 12}, {"1T", 12}, {"2T", 12}, {"3T", 12}, {"4T", 12}, {"Finales", 12},
                   {"Var1T", 12}, {"Var2T", 12}, {"Var3T", 12}, {"Var4T", 12}},
                  "2", [&](TTable& t, const std::vector<Campo>& campos) {
                    const Campo* criterio = Busca(campos, "Criterio");
                    if (!criterio) {
                      e.problemas.push_back(std::string(restructure::texts::kFieldIndexRange) +
                                            "\nFalta el campo Criterio, que la actualización cambia. Recupere la tabla "
                                            "de una copia de seguridad o pida al servicio técnico que la repare, y "
                                            "vuelva a actualizar.");
                      return;
                    }
                    if (criterio->tipo != bde::fldDBNUM || criterio->longitud != 1)
                      e.cambios.insert(e.cambios.begin(),
                                       "cambiar Criterio a N(1," + std::to_string(criterio->decimales) + ")");
                    if (criterio->decimales > 0)
                      e.problemas.push_back("Criterio tiene decimales y no puede pasar a un número de una cifra.");
                    // Every value must fit one digit.
                    auto malos = CriteriosQueNoCaben(t, 1);
                    if (!malos.empty())
                      e.problemas.push_back("Valores de Criterio que no caben en un número de una cifra: " +
                                            ListaCriterios(malos) +
                                            ". Corrija esos valores en Tribanor y vuelva a ejecutar la actualización.");
                  });
  if (e.problemas.empty()) CompruebaExclusiva(e, ruta);
  return e;
}

}  // namespace actualiza
