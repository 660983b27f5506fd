#include "app/FileNameRules.h"

namespace wizard {

namespace {
bool IsBlankOrControl(QChar c) { return c.unicode() >= 1 && c.unicode() <= 32; }
}  // namespace

QString YieldedFileName(const QString& text, const FileExistsFn& exists) {
  if (!text.isEmpty() && exists && exists(text)) return text;
  const qsizetype n = text.size();
  qsizetype i = 0;
  // Blanks and empty quote pairs before the token.
  for (;;) {
    while (i < n && IsBlankOrControl(text[i])) ++i;
    if (i + 1 < n && text[i] == u'"' && text[i + 1] == u'"') {
      i += 2;
      continue;
    }
    break;
  }
  QString token;
  bool quoted = false;
  for (; i < n; ++i) {
    const QChar c = text[i];
    if (c.unicode() == 0) break;
    if (c == u'"') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && c.unicode() <= 32) break;
    token.append(c);
  }
  return token;
}

QString QuoteChosenName(const QString& name) {
  if (name.contains(u' ') && !name.startsWith(u'"')) return u'"' + name + u'"';
  return name;
}

bool IsValidFileName(const QString& name) {
  for (QChar c : name) {
    switch (c.unicode()) {
      case '<': case '>': case '[': case ']': case '|': case '"':
        return false;
      default:
        break;
    }
  }
  return true;
}

QString FolderOf(const QString& name) {
  qsizetype cut = -1;
  for (qsizetype i = 0; i < name.size(); ++i) {
    const QChar c = name[i];
    if (c == u'\\' || c == u'/' || c == u':') cut = i;
  }
  return name.left(cut + 1);
}

QString NameWithoutFolder(const QString& name) { return name.mid(FolderOf(name).size()); }

QString ApplicationTitleFor(const QString& executablePath) {
  QString title = NameWithoutFolder(executablePath);
  const qsizetype dot = title.indexOf(u'.');
  if (dot >= 0) title.truncate(dot);
  if (title.size() > 1) title = title.left(1) + title.mid(1).toLower();
  return title;
}

}  // namespace wizard
