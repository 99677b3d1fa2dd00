#include "stylesheet.h"
#include "zelloader.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    auto *application = new QApplication(argc, argv);

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
