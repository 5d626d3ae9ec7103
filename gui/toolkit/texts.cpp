#include "gui/toolkit/texts.h"

#include <QAbstractButton>
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace kestrio::toolkit {

QString Qs(const std::string& text) { return QString::fromStdString(text); }

void ApplyTexts(QWidget* root, const IniSection& section) {
  if (!root) return;
  for (const auto& [key, value] : section) {
    const QString name = Qs(key);
    QObject* control = root->objectName() == name ? root : root->findChild<QObject*>(name);
    if (!control) continue;
    const QString text = Qs(value);
    if (auto* label = qobject_cast<QLabel*>(control)) {
      label->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
      button->setText(text);
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
      edit->setPlaceholderText(text);
    } else if (auto* action = qobject_cast<QAction*>(control)) {
      action->setText(text);
    } else if (auto* widget = qobject_cast<QWidget*>(control)) {
      widget->setToolTip(text);
    }
  }
}

QString MessageText(const char* id) { return Qs(Settings::Get().Message(id)); }

QString FormatMessage(const QString& format, std::initializer_list<QString> values) {
  QString shown;
  auto next = values.begin();
  for (qsizetype i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() &&
        (format[i + 1] == 's' || format[i + 1] == 'd')) {
      if (next != values.end()) shown += *next++;
      ++i;
    } else {
      shown += format[i];
    }
  }
  return shown;
}

}  // namespace kestrio::toolkit
