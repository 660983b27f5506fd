// What a rebuild of a Paradox table must keep for its referential integrity to be carried over
// as stored: the fields its own links name, and the fields the links of the tables that depend
// on it may name.
#include <algorithm>

#include "engine/error.h"
#include "engine/paradox/paradox.h"

namespace engine::paradox {

namespace {

[[noreturn]] void RefuseFor(DBIResult code, const std::string& msg, const std::string& path,
                            const std::string& field = "") {
  std::vector<std::string> ctx = {CtxTable(path)};
  if (!field.empty()) ctx.push_back(CtxField(field));
  throw EngineError(code, msg, ctx);
}

enum class Kept { kInPlace, kMovedOrRenamed, kDroppedOrRetyped };

// Where the old field `of` goes in the new structure.
Kept KeptAs(const TableStorage& old, int of, const std::vector<int>& from, const std::vector<FieldSpec>& fields) {
  const FieldSpec& was = old.Fields()[static_cast<size_t>(of)];
  const auto at = std::find(from.begin(), from.end(), of);
  if (at == from.end()) return Kept::kDroppedOrRetyped;
  const FieldSpec& now = fields[static_cast<size_t>(at - from.begin())];
  if (now.type != was.type || now.size != was.size) return Kept::kDroppedOrRetyped;
  if (at - from.begin() != of || now.name != was.name) return Kept::kMovedOrRenamed;
  return Kept::kInPlace;
}

}  // namespace

void CheckReferentialIntegrityKept(TableStorage& old, const std::vector<int>& from,
                                   const std::vector<FieldSpec>& fields) {
  const std::string& path = old.Path();
  const RiLinks ri = ReferentialIntegrityOf(old);
  for (const RiLink& link : ri.links)
    for (int of : link.fields) {
      const Kept kept = KeptAs(old, of, from, fields);
      if (kept == Kept::kInPlace) continue;
      const std::string& name = old.Fields()[static_cast<size_t>(of)].name;
      RefuseFor(err::kInvalidRestructure,
                "El campo " + name + " se usa en la regla de integridad referencial «" + link.name +
                    "» (con la tabla " + link.parent + "), y la nueva estructura " +
                    (kept == Kept::kMovedOrRenamed ? "lo cambia de lugar o de nombre" : "lo quita o cambia su tipo") +
                    ", con lo que la regla no se puede conservar. Quite antes esa regla con Paradox o deje el "
                    "campo como está y en su lugar.",
                path, name);
    }
  if (!ri.dependents) return;
  if (!ri.dependents_read)
    RefuseFor(err::kNotSupported,
              "Otras tablas dependen de esta por reglas de integridad referencial (anotadas en su fichero .VAL de "
              "una forma que este programa no sabe conservar al reconstruirla). Haga el cambio con Paradox, o quite "
              "antes esas reglas y vuelva a crearlas después.",
              path);
  // The dependents refer to the key (and the record names the fields they refer to): every field
  // up to the last of those stays at its number with its name, type and size.
  int last = old.KeyFieldCount() - 1;
  for (int r : ri.referenced) last = std::max(last, r);
  std::string dependents;
  for (const RiDependent& d : ri.dependent_links)
    dependents += (dependents.empty() ? "" : ", ") + d.table + " («" + d.name + "», campo " + d.field + ")";
  for (int of = 0; of <= last && of < static_cast<int>(old.Fields().size()); ++of) {
    const Kept kept = KeptAs(old, of, from, fields);
    if (kept == Kept::kInPlace) continue;
    const std::string& name = old.Fields()[static_cast<size_t>(of)].name;
    RefuseFor(err::kInvalidRestructure,
              "El campo " + name + " está entre los que usan las tablas que dependen de esta por integridad "
              "referencial: " + dependents + ". La nueva estructura " +
                  (kept == Kept::kMovedOrRenamed ? "lo cambia de lugar o de nombre"
                                                 : "lo quita o cambia su tipo o su tamaño") +
                  ", con lo que esas reglas no se pueden conservar. Deje como están y en su lugar los campos "
                  "hasta " + old.Fields()[static_cast<size_t>(last)].name +
                  " (añada los nuevos detrás), o quite antes esas reglas con Paradox.",
              path, name);
  }
}

}  // namespace engine::paradox
