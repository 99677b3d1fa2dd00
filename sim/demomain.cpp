#include "cliapp.h"
#include "cliconsole.h"
#include "simsetup.h"

#include <QCoreApplication>

#include <cstdio>

// zelloader-cli with the simulated instrument in place of the USB device, set up
// from the environment variable ZEL_SIM (see simsetup.h). For trying the command
// line without hardware and for its tests; not installed.
int main(int argc, char *argv[])
{
    CliConsole::installInterruptHandler();
    QCoreApplication application(argc, argv);
    QString error;
    if (!setUpSimulatedInstrument(QString::fromLocal8Bit(qgetenv("ZEL_SIM")), &error)) {
        std::fprintf(stderr, "zelloader-cli-demo: ZEL_SIM: %s\n", qPrintable(error));
        return SimSetupError;
    }
    const int code = CliApp::run(QCoreApplication::arguments());
    if (!writeSimulatedInstrumentReport()) {
        std::fprintf(stderr, "zelloader-cli-demo: ZEL_SIM: the report could not be written\n");
        return SimSetupError;
    }
    return code;
}
