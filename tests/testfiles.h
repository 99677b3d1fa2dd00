#pragma once

// Files and programs for the tests: read and write whole files, list a folder's
// files, run a program to its end.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Makes the folder too.
inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The files below `dir` (hidden ones and special files too), as sorted paths relative to it.
inline QStringList filesUnder(const QString &dir, const QStringList &nameFilters = {})
{
    QStringList files;
    QDirIterator it(dir, nameFilters, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(dir).relativeFilePath(it.next());
    files.sort();
    return files;
}

struct Ran
{
    int code = -1; // -1: it did not start, crashed or outlived its time
    QByteArray out;
    QByteArray err;
};

inline Ran runProcess(const QString &program, const QStringList &arguments,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                      const QString &workingDirectory = QString(), int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workingDirectory);
    process.start(program, arguments);
    Ran ran;
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        ran.err = program.toUtf8() + " did not finish: " + process.errorString().toUtf8();
        return ran;
    }
    ran.code = process.exitCode();
    ran.out = process.readAllStandardOutput();
    ran.err = process.readAllStandardError();
#ifdef Q_OS_WIN
    // Text written to a Windows program's standard handles ends its lines with CR LF;
    // the tests compare lines.
    ran.out.replace("\r\n", "\n");
    ran.err.replace("\r\n", "\n");
#endif
    return ran;
}
