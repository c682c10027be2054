#include "PelApp/QtTestApp.hpp"

#include <QCoreApplication>
#include <QEvent>
#include <QString>

#include <fmt/core.h>

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

const QtMessageHandler previousHandler = qInstallMessageHandler(quietHandler);

// The offscreen platform warns about window hints it cannot honour; that is noise here.
void quietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("does not support propagateSizeHints"))) return;
    if (previousHandler) previousHandler(type, context, message);
    else fmt::print(stderr, "{}\n", message.toStdString());
}

} // namespace

namespace pelapptest {

void flushUi() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
    }
}

} // namespace pelapptest
