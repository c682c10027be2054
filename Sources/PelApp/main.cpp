#include "PelApp/L10n.hpp"

#include <QApplication>
#include <QMainWindow>
#include <QString>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QMainWindow window;
    window.setWindowTitle(QString::fromStdString(pelapp::L10n::text("app.name")));
    window.setMinimumSize(900, 560);
    window.show();
    return app.exec();
}
