// The rig's window probe (tools/hidrig/rigprobe.cpp) as a Qt plugin, for the Windows
// product, which has no LD_PRELOAD: "-plugin zelrigprobe" on its command line loads it
// from the generic/ folder beside the program, and the probe starts as it loads. The
// program itself stays as shipped.
#include <QGenericPlugin>

class RigProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "rigprobeplugin.json")

public:
    // Qt keeps what it gets and deletes it with the application.
    QObject *create(const QString &, const QString &) override { return new QObject; }
};

#include "rigprobeplugin.moc"
