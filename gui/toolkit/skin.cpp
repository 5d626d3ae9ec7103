#include "gui/toolkit/skin.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QVBoxLayout>

#include "base/log.h"
#include "gui/toolkit/controls.h"

namespace kestrio::toolkit {
namespace {

QString& SkinFolderSetting() {
  static QString folder;
  return folder;
}

MissingControlHandler& MissingHandler() {
  static MissingControlHandler handler;
  return handler;
}

}  // namespace

SkinLoader::SkinLoader(QObject* parent) : QUiLoader(parent) {}

QWidget* SkinLoader::createWidget(const QString& className, QWidget* parent, const QString& name) {
  QWidget* widget = nullptr;
  if (className == "ButtonEx") {
    widget = new ButtonEx(parent);
  } else if (className == "ButtonGif") {
    widget = new ButtonGif(parent);
  } else if (className == "LabelEx") {
    widget = new LabelEx(parent);
  } else if (className == "FileTree") {
    widget = new FileTree(parent);
  } else if (className == "DiskList") {
    widget = new DiskList(parent);
  } else if (className == "Pagination") {
    widget = new Pagination(parent);
  } else {
    return QUiLoader::createWidget(className, parent, name);
  }
  widget->setObjectName(name);
  return widget;
}

void SetSkinFolder(const QString& folder) { SkinFolderSetting() = folder; }

QString SkinPath(const QString& name) {
  const QString& folder = SkinFolderSetting();
  if (!folder.isEmpty()) {
    const QString override = QDir(folder).filePath("xml/" + name + ".ui");
    if (QFileInfo(override).isFile()) return override;
  }
  return ":/xml/" + name + ".ui";
}

QStringList BuiltInSkins() {
  QStringList names;
  QDirIterator it(":/xml", {"*.ui"}, QDir::Files);
  while (it.hasNext()) names << QFileInfo(it.next()).completeBaseName();
  names.sort();
  return names;
}

QWidget* LoadSkin(const QString& name, QWidget* parent, QString* error) {
  QFile file(SkinPath(name));
  if (!file.open(QIODevice::ReadOnly)) {
    if (error) *error = "the window file " + file.fileName() + " is missing";
    return nullptr;
  }
  SkinLoader loader;
  QWidget* widget = loader.load(&file, parent);
  if (!widget) {
    if (error)
      *error = "the window file " + file.fileName() + " is broken: " + loader.errorString();
    return nullptr;
  }
  if (parent && !parent->layout()) {
    auto* layout = new QVBoxLayout(parent);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
  }
  if (parent) parent->layout()->addWidget(widget);
  return widget;
}

QString StyleSheet() {
  const QString& folder = SkinFolderSetting();
  QFile file(!folder.isEmpty() && QFileInfo(QDir(folder).filePath("xml/style.qss")).isFile()
                 ? QDir(folder).filePath("xml/style.qss")
                 : QString(":/xml/style.qss"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

void SetMissingControlHandler(MissingControlHandler handler) {
  MissingHandler() = std::move(handler);
}

void ReportMissingControl(const QWidget* root, const QString& name) {
  const QString window = root ? root->objectName() : QString("(none)");
  if (MissingHandler()) {
    MissingHandler()(window, name);
  } else {
    LogLine(("window " + window + " has no control " + name).toStdString());
  }
}

}  // namespace kestrio::toolkit
