#include "cliapp.h"
#include "cliconsole.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    CliConsole::installInterruptHandler();
    QCoreApplication application(argc, argv);
    return CliApp::run(QCoreApplication::arguments());
}
