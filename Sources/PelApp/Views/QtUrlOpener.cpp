#include "PelApp/Views/QtUrlOpener.hpp"

#include <QDesktopServices>
#include <QString>
#include <QUrl>

namespace pelapp {

bool QtUrlOpener::open(const platform::Url& url) {
    return QDesktopServices::openUrl(QUrl(QString::fromStdString(url.text()), QUrl::StrictMode));
}

} // namespace pelapp
