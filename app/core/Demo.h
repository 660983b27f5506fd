// A demo installation of the host application at version 1.1: the folders and tables that an
// upgrade works on, with realistic contents (accented company names, memos, an index, deleted
// rows, missing stock tables, empty colour values), so that the upgrade can be shown, tested and
// measured without a customer's data.
#pragma once

#include <string>
#include <vector>

namespace actualiza {

struct DemoOptions {
  int companies = 4;            // companies in General/Empresas.DBF
  int years_per_company = 3;    // fiscal years of each company (the last company gets none)
  int customers = 40;           // customer rows per folder (a few of them deleted)
  int stock_rows = 25;          // rows of each stock table that exists
  unsigned seed = 2004;
};

struct DemoSummary {
  std::string executable;                 // <dir>/Tribanor.exe
  std::vector<std::string> companies;     // in the order of tag NOMBRE
  int fiscal_years = 0;
  int tables = 0;
};

// Writes the installation into `dir`, which must be missing or empty (it is created). Throws on
// failure, and when `dir` holds anything.
DemoSummary WriteDemoInstallation(const std::string& dir, const DemoOptions& options = {});

}  // namespace actualiza
