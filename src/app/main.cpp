#include "app/form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fernquill"));
    QApplication::setOrganizationName(QStringLiteral("Fernquill"));
    QApplication::setApplicationVersion(QStringLiteral(FQ_VERSION));
    Form1 window;
    window.show();
    return app.exec();
}
