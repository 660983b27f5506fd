// The check of each table the run upgrades (Comprobar.h): what it would change, what would stop
// it, whether the run rewrites it and how many bytes the rebuild writes. Nothing is changed: each
// table is read through a shared read-only open, and a table the run rewrites is then opened
// exclusively, as the run's step will, and closed again at once.
#pragma once

#include <string>

#include "app/core/Comprobar.h"

namespace actualiza {

// `carpeta` is the data folder as the run builds it, `relativa` the same below the installation
// ("Empresa", "Empresas/X/Ejercicio2004").
EstadoTabla ComprobarClientes(const std::string& carpeta, const std::string& relativa);
EstadoTabla ComprobarConfiguracion(const std::string& carpeta);
EstadoTabla ComprobarExistencias(const std::string& carpeta, const std::string& relativa);

// Whether another program holds the table `tabla` of `carpeta` now: an exclusive open of it,
// closed again at once, fails. False when it does not exist.
bool OtroLaRetiene(const std::string& carpeta, const std::string& tabla);

}  // namespace actualiza
