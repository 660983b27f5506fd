#include "app/Dialogs.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>
#include <exception>

#include "app/FileNameRules.h"

namespace wizard {

namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

void Show(const QString& text, QMessageBox::Icon icon) {
  QMessageBox box(icon, ApplicationTitle(), text, QMessageBox::Ok, nullptr);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  if (Hook()) {
    Hook()(box);
    return;
  }
  box.exec();
}

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  MessageBoxHook old = std::move(Hook());
  Hook() = std::move(hook);
  return old;
}

QString ApplicationTitle() {
  return ApplicationTitleFor(QCoreApplication::applicationFilePath());
}

void ShowMessage(const QString& text) { Show(text, QMessageBox::NoIcon); }

void ShowErrorMessage(const QString& text) { Show(text, QMessageBox::Critical); }

void RunHandler(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    ShowErrorMessage(QString::fromUtf8(e.what()));
  }
}

bool InstallSpanishTranslations(QApplication& app) {
  QLocale::setDefault(QLocale(QLocale::Spanish, QLocale::Spain));
  auto* tr = new QTranslator(&app);
  if (!tr->load(QLocale(QLocale::Spanish, QLocale::Spain), "qtbase", "_",
                QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete tr;
    return false;
  }
  QApplication::installTranslator(tr);
  return true;
}

}  // namespace wizard
