// TForm1: the one window of the upgrade wizard. It greets the user, lets them pick the host
// application's executable (Tribanor.exe), checks that it exists, shows a summary of what an
// upgrade changes, and lists the companies and fiscal years of the chosen installation.
//
// The window owns every object it shows or uses: its controls, the table objects Empresas,
// Ejercicios and Fichero with their data sources and declared fields, and the themed-look
// component WinXP1. Its handlers run on the user-interface thread; an error that escapes one is
// shown by the application's error handler (Dialogs.h) and the window stays usable.
//
// Requires: a QApplication exists.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "app/FilenameEdit.h"
#include "app/core/Pasos.h"
#include "engine/table.h"
#include "restructure/Restructure.h"

class QFrame;
class QLabel;
class QPushButton;
class QStackedWidget;
class QTabBar;
class QTableView;
class QTextEdit;

namespace wizard {

class TTableModel;
class TWinXP;

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // ---- Controls (object names as the members are called) ----
  QFrame* Panel1;
  QLabel* Label1;
  QLabel* Image2;
  QStackedWidget* Notebook1;
  QTabBar* TabSet1;
  // Page 1
  QLabel* Label2;
  QLabel* Label3;
  TFilenameEdit* EditDirectorio;
  QPushButton* Button1;
  QPushButton* Button2;
  QLabel* LabelAccion;
  // Page 2
  QTextEdit* RichEdit1;
  // Page 3
  QPushButton* Button3;
  QTableView* DBGrid1;  // companies
  QTableView* DBGrid2;  // fiscal years of the selected company

  // ---- Non-visual components ----
  engine::TTable* Empresas;
  engine::TTable* Ejercicios;
  engine::TTable* Fichero;
  engine::TDataSource* DS_Empresas;
  engine::TDataSource* DS_Ejercicios;
  engine::TStringField* EmpresasNOMBRE;
  engine::TStringField* EjerciciosEJERCICIO;
  engine::TStringField* EjerciciosMONEDA;
  engine::TStringField* EjerciciosEMPRESA;
  TWinXP* WinXP1;
  // The table-restructuring component, with its descriptors empty and PackTable true.
  restructure::TRestructure* Restructure;

  // The installation folder: the yielded file name up to and including its last '\', '/' or
  // ':'. Empty until "Visualizar" or the upgrade run sets it. UTF-8.
  std::string RutaPrograma;

  // ---- Handlers and methods ----
  void FormCreate();
  void TabSet1Click();
  void Button1Click();  // "&Actualizar": the upgrade run
  void Button2Click();  // "&Salir"
  void Button3Click();  // "Visualizar"
  // The path check: true when the file the edit yields exists; otherwise tells the user.
  bool CompruebaRuta();

  // The table steps of the upgrade run (app/core/Pasos.h holds them, shared with the
  // command-line program); they work on this window's objects.
  void ModificaEmpresa();
  void ModificaEmpresas();
  void ModificaGeneral();
  void CreaFicheroExistencias();
  void CreaFichero();
  bool Revisa(const std::string& campo, const std::string& tipo, int longitud, int precision);
  void Modifica(int longitud);

  // Selects the page `step` tabs after the current one, round the strip (Ctrl+Tab: +1).
  void SelectPage(int step);

  // Writes the progress label, which grows with its text.
  void SetAccion(const QString& text);

  // The installation folder of an executable's file name (FolderOf, UTF-8).
  static std::string InstallFolderOf(const QString& fileName);

 private:
  void BuildPage1(QWidget* page);
  void BuildPage2(QWidget* page);
  void BuildPage3(QWidget* page);
  void BuildTables();
  void BindGrid(QTableView* view, TTableModel* model);
  actualiza::Pasos Pasos();

  class VistaEtiqueta;  // the progress label as the steps see it
  std::unique_ptr<VistaEtiqueta> vista_;

  std::unique_ptr<engine::TComponent> components_;  // owns the tables, sources and fields
  std::unique_ptr<TTableModel> empresas_model_;     // destroyed before components_
  std::unique_ptr<TTableModel> ejercicios_model_;
};

// The window's pictures (icon and header image): 32 x 32, 16 colours.
QPixmap ProgramIcon();

}  // namespace wizard
