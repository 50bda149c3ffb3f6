#include "app/mainwindow.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fernquill"));
    QApplication::setOrganizationName(QStringLiteral("Fernquill"));
    QApplication::setApplicationVersion(QStringLiteral(FQ_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral(FQ_APP_ID));
    // The icon from the installed theme, or the copy built into the program.
    QIcon fallback;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        fallback.addFile(QStringLiteral(":/icons/%1x%1/" FQ_APP_ID ".png").arg(size));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(FQ_APP_ID), fallback));
    MainWindow window;
    window.show();
    return app.exec();
}
