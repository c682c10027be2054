#include "PelApp/Views/QtClipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace pelapp {

void QtClipboard::setString(const std::string& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    // One plain-text format only: whatever other formats the clipboard held are gone.
    auto* data = new QMimeData;
    data->setText(QString::fromStdString(text));
    clipboard->setMimeData(data);
}

} // namespace pelapp
