#pragma once

#include <QString>
#include <QStringList>

// zelloader-cli: one command per run. The command parses its own options, does
// its work and gives the process's exit code.
namespace CliApp {

// `arguments` as QCoreApplication::arguments() gives them, program name first.
int run(const QStringList &arguments);

// The program's --help, from its commands and options.
QString helpText();

} // namespace CliApp
