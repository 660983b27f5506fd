// Start-up: the application object, Spanish translations, the one window, the message loop.
// The program reads no command line, configuration file or setting of its own.
#include <QApplication>

#include "app/Dialogs.h"
#include "app/Unit1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  wizard::InstallSpanishTranslations(app);
  wizard::TForm1 form;
  form.show();
  return app.exec();
}
