#include "app/Unit1.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHeaderView>
#include <QImage>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QTabBar>
#include <QToolButton>
#include <QTableView>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextEdit>

#include "app/Dialogs.h"
#include "app/FileNameRules.h"
#include "app/Keyboard.h"
#include "app/TableModel.h"
#include "app/WinXP.h"
#include "app/core/Contexto.h"

namespace wizard {

namespace {

const QColor kNavy(0, 0, 128);
const QColor kRed(255, 0, 0);
// The window's background is the system colour for caption text (white on the host system).
const QColor kCaptionText(255, 255, 255);
const QColor kPanelColour(249, 174, 153);  // colour value 10071801 (0x00BBGGRR)

// MS Sans Serif where it exists; otherwise a condensed sans serif, whose widths come close to
// it so that the texts fit their controls. Sizes are font heights in pixels (8 points = 11
// pixels, 12 points = 16 pixels at 96 dots per inch).
QFont WindowFont(int pixels, bool bold = false) {
  QFont f;
  f.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans Condensed",
                 "Liberation Sans Narrow", "Arial"});
  if (!QFontDatabase::hasFamily("MS Sans Serif") && !QFontDatabase::hasFamily("Microsoft Sans Serif"))
    f.setStretch(QFont::Condensed);
  f.setPixelSize(pixels);
  f.setBold(bold);
  return f;
}

void SetTextColour(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  p.setColor(QPalette::WindowText, c);
  p.setColor(QPalette::Text, c);
  w->setPalette(p);
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w,
                  int h) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  l->setGeometry(x, y, w, h);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setTextFormat(Qt::PlainText);
  return l;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, int x, int y) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  b->setGeometry(x, y, 75, 25);
  b->setAutoDefault(false);
  PressOnReturn(b);
  return b;
}

// A grid that shows that it has the focus also when it has no row (and so no current cell to
// show it on): a focus rectangle round its empty area.
class Grid : public QTableView {
 public:
  using QTableView::QTableView;

 protected:
  void paintEvent(QPaintEvent* e) override {
    QTableView::paintEvent(e);
    if (!hasFocus() || (model() != nullptr && model()->rowCount() > 0)) return;
    // Dotted, as the host system draws a focus rectangle.
    QPainter p(viewport());
    p.setPen(QPen(palette().color(QPalette::Text), 1, Qt::DotLine));
    p.drawRect(viewport()->rect().adjusted(1, 1, -2, -2));
  }
  void focusInEvent(QFocusEvent* e) override {
    QTableView::focusInEvent(e);
    viewport()->update();
  }
  void focusOutEvent(QFocusEvent* e) override {
    QTableView::focusOutEvent(e);
    viewport()->update();
  }
};

QTableView* MakeGrid(QWidget* parent, const char* name, int x, int y, int w, int h) {
  auto* g = new Grid(parent);
  g->setObjectName(name);
  g->setGeometry(x, y, w, h);
  g->setEditTriggers(QAbstractItemView::NoEditTriggers);
  g->setSelectionMode(QAbstractItemView::SingleSelection);
  g->setSelectionBehavior(QAbstractItemView::SelectItems);
  g->setTabKeyNavigation(false);  // Tab leaves the grid; the arrows move within it
  g->setShowGrid(true);
  g->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  g->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  g->setWordWrap(false);
  g->setAlternatingRowColors(false);
  QHeaderView* titles = g->horizontalHeader();
  titles->setSectionsClickable(false);
  titles->setHighlightSections(false);
  titles->setSectionResizeMode(QHeaderView::Interactive);
  titles->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  titles->setStretchLastSection(false);
  titles->setMinimumSectionSize(8);
  QHeaderView* indicator = g->verticalHeader();
  indicator->setSectionsClickable(false);
  indicator->setHighlightSections(false);
  indicator->setSectionResizeMode(QHeaderView::Fixed);
  indicator->setMinimumSectionSize(12);
  indicator->setDefaultSectionSize(17);
  indicator->setFixedWidth(12);
  return g;
}

}  // namespace

QPixmap ProgramIcon() {
  QImage img(32, 32, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  {
    QPainter p(&img);
    // A stack of three data disks with an upward arrow: "upgrade the data files".
    p.setPen(QColor(0, 0, 0));
    for (int i = 2; i >= 0; --i) {
      const int top = 8 + i * 7;
      p.setBrush(QColor(0, 128, 128));
      p.drawRect(3, top + 3, 19, 6);
      p.setBrush(QColor(0, 255, 255));
      p.drawEllipse(3, top, 19, 6);
    }
    p.setBrush(QColor(255, 0, 0));
    const QPoint arrow[] = {{26, 2}, {31, 10}, {28, 10}, {28, 28}, {24, 28}, {24, 10}, {21, 10}};
    p.drawPolygon(arrow, 7);
  }
  // The 16 colours of the standard palette.
  QList<QRgb> vga;
  for (QRgb c : {0xFF000000u, 0xFF800000u, 0xFF008000u, 0xFF808000u, 0xFF000080u, 0xFF800080u,
                 0xFF008080u, 0xFF808080u, 0xFFC0C0C0u, 0xFFFF0000u, 0xFF00FF00u, 0xFFFFFF00u,
                 0xFF0000FFu, 0xFFFF00FFu, 0xFF00FFFFu, 0xFFFFFFFFu})
    vga.append(c);
  vga.append(0x00000000u);  // transparent
  return QPixmap::fromImage(img.convertToFormat(QImage::Format_Indexed8, vga, Qt::ThresholdDither));
}

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      components_(std::make_unique<engine::TComponent>()) {
  setObjectName("Form1");
  setWindowTitle(QString::fromUtf8("Actualización Ficheros Vendimar"));
  setWindowIcon(QIcon(ProgramIcon()));
  setFixedSize(487, 271);
  setFont(WindowFont(11));
  {
    QPalette p = palette();
    p.setColor(QPalette::Window, kCaptionText);
    p.setColor(QPalette::WindowText, Qt::black);
    setPalette(p);
  }
  setAutoFillBackground(true);

  // Header panel.
  Panel1 = new QFrame(this);
  Panel1->setObjectName("Panel1");
  Panel1->setGeometry(0, 0, 487, 41);
  Panel1->setFrameShape(QFrame::Panel);
  Panel1->setFrameShadow(QFrame::Raised);
  Panel1->setAutoFillBackground(true);
  {
    QPalette p = Panel1->palette();
    p.setColor(QPalette::Window, kPanelColour);
    Panel1->setPalette(p);
  }
  Label1 = MakeLabel(Panel1, "Label1", QString::fromUtf8("Actualización Ficheros Tribanor"), 112,
                     9, 260, 20);
  Label1->setFont(WindowFont(16, true));
  SetTextColour(Label1, kNavy);
  Image2 = new QLabel(Panel1);
  Image2->setObjectName("Image2");
  Image2->setPixmap(ProgramIcon());
  Image2->setGeometry(25, 3, 32, 32);

  // Notebook and tab strip.
  Notebook1 = new QStackedWidget(this);
  Notebook1->setObjectName("Notebook1");
  Notebook1->setGeometry(0, 41, 487, 209);
  const char* pageNames[] = {"Actualizar", "Informacion", "Estructura"};
  QWidget* pages[3];
  for (int i = 0; i < 3; ++i) {
    pages[i] = new QWidget(Notebook1);
    pages[i]->setObjectName(pageNames[i]);
    Notebook1->addWidget(pages[i]);
  }
  TabSet1 = new QTabBar(this);
  TabSet1->setObjectName("TabSet1");
  TabSet1->setShape(QTabBar::RoundedSouth);
  TabSet1->setExpanding(false);
  TabSet1->setDrawBase(true);
  TabSet1->setUsesScrollButtons(false);
  TabSet1->addTab(QStringLiteral(" Actualizar "));
  TabSet1->addTab(QString::fromUtf8(" Información adicional"));
  TabSet1->addTab(QStringLiteral(" Estructura Empresas "));
  TabSet1->setGeometry(0, 250, 487, 21);
  TabSet1->setCurrentIndex(0);

  BuildTables();
  BuildPage1(pages[0]);
  BuildPage2(pages[1]);
  BuildPage3(pages[2]);

  WinXP1 = new TWinXP(this);
  WinXP1->setObjectName("WinXP1");

  // Tab order: the controls of each page, then the tab strip; only the shown page's controls
  // take part. The browse button comes right after its edit.
  QWidget* const order[] = {EditDirectorio, EditDirectorio->BrowseButton(), Button1, Button2, RichEdit1,
                            Button3,        DBGrid1,                        DBGrid2, TabSet1};
  for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  // Ctrl+Tab and Ctrl+Shift+Tab select the next and the previous page, wherever the focus is.
  // Shift+Tab arrives as Backtab with Shift, from an X keyboard (ISO_Left_Tab) as from Windows.
  // One shortcut only: the window system lists that key also as Ctrl+Shift+Tab and Ctrl+Backtab,
  // and a key that matches two shortcuts is ambiguous and fires neither.
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Tab), this), &QShortcut::activated, this,
          [this] { SelectPage(+1); });
  connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), this), &QShortcut::activated,
          this, [this] { SelectPage(-1); });

  connect(TabSet1, &QTabBar::currentChanged, this, [this] { RunHandler([this] { TabSet1Click(); }); });
  connect(Button1, &QPushButton::clicked, this, [this] { RunHandler([this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { RunHandler([this] { Button2Click(); }); });
  connect(Button3, &QPushButton::clicked, this, [this] { RunHandler([this] { Button3Click(); }); });

  // Centred on the screen.
  if (QScreen* s = screen()) move(s->availableGeometry().center() - QPoint(width() / 2, height() / 2));

  RunHandler([this] { FormCreate(); });
  // The first control in the tab order has the focus when the window opens.
  EditDirectorio->setFocus(Qt::OtherFocusReason);
}

void TForm1::SelectPage(int step) {
  const int n = TabSet1->count();
  TabSet1->setCurrentIndex((TabSet1->currentIndex() + step + n) % n);
}

TForm1::~TForm1() = default;

void TForm1::BuildTables() {
  engine::TComponent* owner = components_.get();
  Empresas = new engine::TTable(owner);
  Empresas->SetName("Empresas");
  Empresas->SetTableName("Empresas.DBF");
  Empresas->SetIndexName("NOMBRE");
  DS_Empresas = new engine::TDataSource(owner);
  DS_Empresas->SetName("DS_Empresas");
  DS_Empresas->SetDataSet(Empresas);

  Ejercicios = new engine::TTable(owner);
  Ejercicios->SetName("Ejercicios");
  Ejercicios->SetTableName("EJERCICI.DBF");
  Ejercicios->SetIndexName("EMPRESA");
  Ejercicios->SetMasterSource(DS_Empresas);
  Ejercicios->SetMasterFields("NOMBRE");
  DS_Ejercicios = new engine::TDataSource(owner);
  DS_Ejercicios->SetName("DS_Ejercicios");
  DS_Ejercicios->SetDataSet(Ejercicios);

  Fichero = new engine::TTable(owner);
  Fichero->SetName("Fichero");
  Restructure = new restructure::TRestructure(owner);
  Restructure->SetName("Restructure");
  Restructure->SetPackTable(true);

  // Declared fields of Empresas.DBF; all but NOMBRE are hidden from the grid.
  auto hidden = [](engine::TField* f) { f->SetVisible(false); };
  EmpresasNOMBRE = Empresas->DeclareField<engine::TStringField>("NOMBRE", 50);
  EmpresasNOMBRE->SetRequired(true);
  EmpresasNOMBRE->SetDisplayLabel("Empresa");
  for (const char* n : {"REGIMENFISCAL", "ACTIVIDAD", "NIVEL", "SEGURIDAD"})
    hidden(Empresas->DeclareField<engine::TSmallintField>(n));
  struct Text { const char* name; int size; };
  const Text empresasText[] = {
      {"CODIGO", 4},         {"NIF", 12},          {"NIFREP", 12},        {"CODPOST", 5},
      {"CODADM", 5},         {"CNAE", 5},          {"IAE", 5},            {"TELEFONO", 15},
      {"FAX", 15},           {"MOVIL", 15},        {"REPRESENTANTE", 40}, {"CARGO", 25},
      {"DELEGACION", 20},    {"ADMINISTRACION", 20}, {"CCC", 23}};
  for (const Text& t : empresasText) hidden(Empresas->DeclareField<engine::TStringField>(t.name, t.size));
  hidden(Empresas->DeclareField<engine::TMemoField>("OBSERVACIONES"));
  hidden(Empresas->DeclareField<engine::TGraphicField>("LOGOTIPO"));
  auto* autoAjuste = Empresas->DeclareField<engine::TBooleanField>("AutoAjuste");
  autoAjuste->SetDefaultExpression("FALSE");
  hidden(autoAjuste);
  const Text empresasText2[] = {{"DOMICILIO", 50}, {"WWW", 50},     {"EMAIL", 50},  {"LOCALIDAD", 35},
                                {"PROVINCIA", 35}, {"BANCO", 30},   {"OFICINA", 30}};
  for (const Text& t : empresasText2) hidden(Empresas->DeclareField<engine::TStringField>(t.name, t.size));

  // Declared fields of EJERCICI.DBF; EJERCICIO and MONEDA are shown.
  EjerciciosEJERCICIO = Ejercicios->DeclareField<engine::TStringField>("EJERCICIO", 4);
  EjerciciosMONEDA = Ejercicios->DeclareField<engine::TStringField>("MONEDA", 3);
  for (const char* n : {"FechaInicial", "FechaFinal", "DiarioMinima", "DiarioMaxima"})
    hidden(Ejercicios->DeclareField<engine::TDateField>(n));
  EjerciciosEMPRESA = Ejercicios->DeclareField<engine::TStringField>("EMPRESA", 50);
  hidden(EjerciciosEMPRESA);
}

void TForm1::BuildPage1(QWidget* page) {
  Label2 = MakeLabel(page, "Label2",
                     QString::fromUtf8(
                         "Bienvenido al programa de Actualización de Ficheros de Tribanor. Este "
                         "programa se encarga de actualizar los ficheros que utiliza Tribanor, "
                         "asegurando la coherencia de  los mismos. Actualiza automáticamente las "
                         "estructuras de ficheros desde la versión 1.1 en adelante. Si tiene una "
                         "versión de Tribanr anterior a la 1.1, por favor, póngase en contacto con "
                         "Morvane para realizar el proceso de actualización."),
                     16, 24, 458, 65);
  Label2->setWordWrap(true);
  Label3 = MakeLabel(page, "Label3",
                     QString::fromUtf8("Por favor, seleccione la carpeta en la que tenga "
                                       "instalado el programa Tribanor:"),
                     17, 107, 378, 13);
  SetTextColour(Label3, kNavy);

  EditDirectorio = new TFilenameEdit(page);
  EditDirectorio->setObjectName("EditDirectorio");
  EditDirectorio->setGeometry(16, 123, 449, 21);
  EditDirectorio->setText(QString::fromUtf8(
      "\"C:\\Archivos de programa\\Morvane\\Morvane Tribanor\\Tribanor.exe\""));
  EditDirectorio->SetDialogTitle(QStringLiteral("Por favor, localice el fichero Vendimar.EXE"));
  EditDirectorio->SetFilter(QStringLiteral("TRIBANOR.EXE"), QStringLiteral("TRIBANOR.EXE"));

  Button1 = MakeButton(page, "Button1", QStringLiteral("&Actualizar"), 151, 156);
  Button2 = MakeButton(page, "Button2", QStringLiteral("&Salir"), 239, 156);

  LabelAccion = MakeLabel(page, "LabelAccion", QStringLiteral("       "), 19, 184, 29, 13);
  LabelAccion->setFont(WindowFont(11, true));
  SetTextColour(LabelAccion, kNavy);

}

void TForm1::BuildPage2(QWidget* page) {
  RichEdit1 = new QTextEdit(page);
  RichEdit1->setObjectName("RichEdit1");
  RichEdit1->setGeometry(0, 0, 487, 209);
  RichEdit1->setReadOnly(true);
  RichEdit1->setAcceptRichText(true);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  RichEdit1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  RichEdit1->setFont(WindowFont(11));

  QTextDocument* doc = RichEdit1->document();
  doc->setDocumentMargin(10);
  doc->setDefaultFont(WindowFont(11));
  QTextCursor c(doc);
  QTextCharFormat plain;
  plain.setFontWeight(QFont::Normal);
  plain.setForeground(QColor(Qt::black));
  QTextCharFormat bold = plain;
  bold.setFontWeight(QFont::Bold);
  QTextCharFormat navy = plain;
  navy.setForeground(kNavy);
  QTextCharFormat red = plain;
  red.setForeground(kRed);

  // One entry per line; each line is a list of (text, format) runs.
  struct Run { const char* text; const QTextCharFormat* fmt; };
  const std::vector<std::vector<Run>> lines = {
      {{"El programa de actualización realiza los siguientes cambios:", &plain}},
      {},
      {{"\\General", &bold}},
      {},
      {},
      {{"\\Empresa", &bold}},
      {{"Existencias.Dbf", &navy}, {" Crea el fichero completo.", &plain}},
      {},
      {{"\\Empresas ", &bold},
       {"Realiza los cambios en TODAS las empresas y ejercicios existentes.", &red}},
      {{"Existencias..Dbf", &navy}, {" Crea el fichero completo.", &plain}},
      {},
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) c.insertBlock(QTextBlockFormat(), plain);
    c.setCharFormat(plain);
    for (const Run& r : lines[i]) c.insertText(QString::fromUtf8(r.text), *r.fmt);
  }
  RichEdit1->moveCursor(QTextCursor::Start);
}

void TForm1::BuildPage3(QWidget* page) {
  Button3 = MakeButton(page, "Button3", QStringLiteral("Visualizar"), 195, 159);
  DBGrid1 = MakeGrid(page, "DBGrid1", 8, 8, 320, 143);
  DBGrid2 = MakeGrid(page, "DBGrid2", 332, 8, 145, 143);

  empresas_model_ = std::make_unique<TTableModel>(
      Empresas, DS_Empresas, std::vector<GridColumn>{{EmpresasNOMBRE, "Empresa", 50}});
  ejercicios_model_ = std::make_unique<TTableModel>(
      Ejercicios, DS_Ejercicios,
      std::vector<GridColumn>{{EjerciciosEJERCICIO, "EJERCICIO", 4}, {EjerciciosMONEDA, "MONEDA", 3}});
  BindGrid(DBGrid1, empresas_model_.get());
  BindGrid(DBGrid2, ejercicios_model_.get());
}

void TForm1::BindGrid(QTableView* view, TTableModel* model) {
  view->setModel(model);
  const QFontMetrics fm(view->font());
  const QFontMetrics titleFm(view->horizontalHeader()->font());
  for (size_t i = 0; i < model->Columns().size(); ++i) {
    const GridColumn& c = model->Columns()[i];
    const int w = std::max(c.widthChars * fm.horizontalAdvance(QLatin1Char('0')),
                           titleFm.horizontalAdvance(c.title)) + 4;
    view->setColumnWidth(static_cast<int>(i), w);
  }
  // The grid's current row moves the table; the table's moves move the grid's current row.
  connect(view->selectionModel(), &QItemSelectionModel::currentRowChanged, view,
          [model](const QModelIndex& cur) {
            if (cur.isValid()) RunHandler([&] { model->MoveTo(cur.row()); });
          });
  connect(model, &TTableModel::currentRowChanged, view, [view, model](int row) {
    if (row < 0) return;
    const QModelIndex cur = view->currentIndex();
    const int col = cur.isValid() ? cur.column() : 0;
    if (cur.row() != row) view->setCurrentIndex(model->index(row, col));
  });
}

void TForm1::FormCreate() { Notebook1->setCurrentIndex(0); }

void TForm1::TabSet1Click() { Notebook1->setCurrentIndex(TabSet1->currentIndex()); }

class TForm1::VistaEtiqueta : public actualiza::Vista {
 public:
  explicit VistaEtiqueta(TForm1* f) : f_(f) {}
  void Accion(const std::string& texto, bool repintar) override {
    f_->SetAccion(QString::fromStdString(texto));
    if (repintar) f_->LabelAccion->repaint();
  }
  // Shown in the progress label, which the next step's text replaces.
  void Aviso(const std::string& texto) override { Accion(texto, true); }

 private:
  TForm1* f_;
};

actualiza::Pasos TForm1::Pasos() {
  if (!vista_) vista_ = std::make_unique<VistaEtiqueta>(this);
  return actualiza::Pasos({Empresas, Ejercicios, Fichero, Restructure, &RutaPrograma}, *vista_);
}

void TForm1::ModificaEmpresa() { Pasos().ModificaEmpresa(); }
void TForm1::ModificaEmpresas() { Pasos().ModificaEmpresas(); }
void TForm1::ModificaGeneral() { Pasos().ModificaGeneral(); }
void TForm1::CreaFicheroExistencias() { Pasos().CreaFicheroExistencias(); }
void TForm1::CreaFichero() { Pasos().CreaFichero(); }
bool TForm1::Revisa(const std::string& campo, const std::string& tipo, int longitud, int precision) {
  return Pasos().Revisa(campo, tipo, longitud, precision);
}
void TForm1::Modifica(int longitud) { Pasos().Modifica(longitud); }

void TForm1::Button1Click() {
  // The upgrade run: the path check, then every data folder in order (app/core/Pasos.cpp), the
  // final message and the end of the program.
  if (!CompruebaRuta()) {
    EditDirectorio->setFocus(Qt::OtherFocusReason);
    return;
  }
  Pasos().Ejecuta(EditDirectorio->FileName().toStdString());
  ShowMessage(QString::fromUtf8(actualiza::kFinalizado));
  close();
}

void TForm1::Button2Click() { close(); }

void TForm1::Button3Click() {
  if (CompruebaRuta()) {
    RutaPrograma = InstallFolderOf(EditDirectorio->FileName());
    Empresas->SetDatabaseName(RutaPrograma + "General");
    Ejercicios->SetDatabaseName(RutaPrograma + "General");
    actualiza::AbreNombrandoTabla(*Empresas);
    actualiza::AbreNombrandoTabla(*Ejercicios);
  } else {
    ShowMessage(QStringLiteral("Seleccione la ruta en la que tiene instalado el programa"));
    Notebook1->setCurrentIndex(0);
    EditDirectorio->setFocus(Qt::OtherFocusReason);
  }
}

bool TForm1::CompruebaRuta() {
  if (EditDirectorio->Exists(EditDirectorio->FileName())) return true;
  ShowMessage(QString::fromUtf8(
      "Atención: no se ha localizado el fichero Tribanor.Exe en la ruta seleccionada"));
  return false;
}

void TForm1::SetAccion(const QString& text) {
  LabelAccion->setText(text);
  const QFontMetrics fm(LabelAccion->font());
  LabelAccion->resize(fm.horizontalAdvance(text), fm.height());
}

std::string TForm1::InstallFolderOf(const QString& fileName) {
  return FolderOf(fileName).toStdString();
}

}  // namespace wizard
