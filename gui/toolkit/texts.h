// Control texts from a language section: each key names a control, its value becomes that
// control's text. A key without a control, and a control without a key, are left alone.
#pragma once

#include <QString>
#include <QWidget>
#include <initializer_list>

#include "base/settings.h"

namespace kestrio::toolkit {

QString Qs(const std::string& text);
void ApplyTexts(QWidget* root, const IniSection& section);
// A message text by id from the current language.
QString MessageText(const char* id);
// A message used as a format: each %s and %d in turn takes the next value.
QString FormatMessage(const QString& format, std::initializer_list<QString> values);

}  // namespace kestrio::toolkit
