#include "TFCOMM.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorlatt"));
    TFCOMM window;
    window.show();
    return app.exec();
}
