#pragma once

// Running a product as a user without rights on the rig's device node.

#include <QFile>
#include <QStringList>

// The command prefix that runs a program as a user id nobody on the machine has.
inline QStringList asStranger()
{
    const QString id = QStringLiteral("47111");
    return {"setpriv", "--reuid", id, "--regid", id, "--clear-groups"};
}

// Another user exists only where the rig's root is the machine's (no user namespace).
inline bool strangersExist()
{
    QFile idMap(QStringLiteral("/proc/self/uid_map"));
    return idMap.open(QIODevice::ReadOnly) &&
           idMap.readAll().simplified() == QByteArray("0 0 4294967295");
}
