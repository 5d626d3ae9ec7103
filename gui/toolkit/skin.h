// Window files: Qt Designer .ui files loaded by name at run time. The built-in ones are
// compiled in as the resource ":/xml/<name>.ui"; a file "<program folder>/Skins/xml/<name>.ui"
// overrides one, so a skin can be changed without a rebuild.
#pragma once

#include <QString>
#include <QStringList>
#include <QUiLoader>
#include <QWidget>
#include <functional>

namespace kestrio::toolkit {

// The loader of the window files; it creates the custom controls of controls.h by their class
// names and leaves every other class to Qt.
class SkinLoader : public QUiLoader {
 public:
  explicit SkinLoader(QObject* parent = nullptr);
  QWidget* createWidget(const QString& className, QWidget* parent = nullptr,
                        const QString& name = QString()) override;
};

// The folder whose "xml/" holds overriding window files; empty (the default): none.
void SetSkinFolder(const QString& folder);
// The file a window is read from: the override when it exists, else the resource.
QString SkinPath(const QString& name);
// The names of the built-in window files ("skin", "PageIosDevice", ...).
QStringList BuiltInSkins();

// Loads the window file `name` as a child of `parent` (laid out to fill it when `parent` has
// no layout yet). Null when the file is missing or broken; `error` then says why.
QWidget* LoadSkin(const QString& name, QWidget* parent, QString* error = nullptr);

// The application style sheet (":/xml/style.qss", or the override's); empty when none.
QString StyleSheet();

// A control looked up by name below `root`. A missing one is reported to the handler (by
// default a warning on the log; tests make it a failure) and gives null.
using MissingControlHandler = std::function<void(const QString& window, const QString& name)>;
void SetMissingControlHandler(MissingControlHandler handler);
void ReportMissingControl(const QWidget* root, const QString& name);

template <typename T>
T* FindControl(const QWidget* root, const QString& name) {
  T* control = root ? root->findChild<T*>(name) : nullptr;
  if (!control) ReportMissingControl(root, name);
  return control;
}

}  // namespace kestrio::toolkit
