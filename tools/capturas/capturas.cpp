// capturas DIR [PATH-TO-TRIBANOR.EXE]
//
// Renders each page of the wizard window to DIR/pagina1.png, pagina2.png and pagina3.png, and an
// error box as the run shows it (a data folder that does not exist) to DIR/error.png. Given an
// installation's executable, it first chooses it and runs "Visualizar", so the grids of the
// third page are filled. Also writes the program's icon, DIR/Actualiza.ico, which the Windows
// build embeds in Actualiza.exe (app/Actualiza.ico). Runs with any Qt platform, offscreen included.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTabBar>
#include <cstdio>

#include "app/Dialogs.h"
#include "app/FileNameRules.h"
#include "app/Unit1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "uso: capturas CARPETA [RUTA-DE-TRIBANOR.EXE]\n");
    return 2;
  }
  wizard::InstallSpanishTranslations(app);
  // Messages go to the standard error output instead of waiting for a click.
  int messages = 0;
  wizard::SetMessageBoxHook([&messages](QMessageBox& box) {
    ++messages;
    std::fprintf(stderr, "%s: %s\n", box.windowTitle().toUtf8().constData(),
                 box.text().toUtf8().constData());
  });

  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!QDir().mkpath(dir)) {
    std::fprintf(stderr, "capturas: no se puede crear la carpeta %s\n", argv[1]);
    return 1;
  }
  wizard::TForm1 form;
  form.show();
  QApplication::processEvents();
  if (argc == 3) {
    const QString exe = QString::fromLocal8Bit(argv[2]);
    form.EditDirectorio->setText(wizard::QuoteChosenName(exe));
    form.TabSet1->setCurrentIndex(2);
    form.Button3->click();
  }
  for (int page = 0; page < 3; ++page) {
    form.TabSet1->setCurrentIndex(page);
    QApplication::processEvents();
    const QString file = QDir(dir).filePath(QString("pagina%1.png").arg(page + 1));
    if (!form.grab().save(file)) {
      std::fprintf(stderr, "capturas: no se puede escribir %s\n", file.toLocal8Bit().constData());
      return 1;
    }
  }
  // The error box, shown and drawn as the user sees it.
  bool drawn = false;
  wizard::SetMessageBoxHook([&](QMessageBox& box) {
    box.show();
    QApplication::processEvents();
    drawn = box.grab().save(QDir(dir).filePath("error.png"));
    box.hide();
  });
#ifdef Q_OS_WIN
  const QString folder = QStringLiteral("C:\\Archivos de programa\\Morvane\\Morvane Tribanor\\General");
#else
  const QString folder = QStringLiteral("/home/usuario/Morvane Tribanor/General");
#endif
  wizard::ShowErrorMessage(QString::fromUtf8("La carpeta de datos no existe. Compruebe la ruta de la instalación.\n"
                                             "Tabla: Empresas.DBF\nCarpeta: ") + folder);
  if (!drawn || !wizard::ProgramIcon().save(QDir(dir).filePath("Actualiza.ico"), "ICO")) {
    std::fprintf(stderr, "capturas: no se pueden escribir error.png y Actualiza.ico\n");
    return 1;
  }
  return messages == 0 ? 0 : 1;
}
