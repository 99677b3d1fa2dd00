#include "stylesheet.h"
#include "zelloader.h"
#include "zelproject.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    auto *application = new QApplication(argc, argv);
    // Wayland compositors find the desktop entry, and with it the icon, by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(ZEL_APP_ID));

    // The style sheet goes in before the dialog exists, so every widget is styled from
    // its creation on. Without it the tool still works, only unstyled.
    const QString styleSheet = loadStyleSheet();
    if (!styleSheet.isEmpty())
        application->setStyleSheet(styleSheet);

    auto *dialog = new zelLoader;
    dialog->show();
    const int result = application->exec();

    // The dialog closes the device link as it goes, which needs the application still there.
    delete dialog;
    delete application;
    return result;
}
