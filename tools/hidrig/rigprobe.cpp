// A test probe for driving the unchanged product from outside. Preloaded into it
// (LD_PRELOAD) with ZEL_PROBE_FILE set, it writes what the window shows to that
// file whenever it changes: one line per widget of interest, "name<TAB>value":
//   window        the top-level window's X id, then 1 if it is active
//   modal         the title and text of an open message box
//   <bar>         a progress bar's text, its value, then 1 if its "error" property is set
//   <button>      1 if an enabled button or check box, then 1 if it is checked
// The product itself is not touched: the probe only looks.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QProgressBar>
#include <QSaveFile>
#include <QTimer>
#include <QWidget>

namespace {

QByteArray snapshot()
{
    QStringList lines;
    for (QWidget *top : QApplication::topLevelWidgets()) {
        if (!top->isVisible())
            continue;
        if (auto *box = qobject_cast<QMessageBox *>(top)) {
            lines << QStringLiteral("modal\t%1|%2").arg(box->windowTitle(), box->text());
            continue;
        }
        lines << QStringLiteral("window\t%1\t%2").arg(top->winId()).arg(int(top->isActiveWindow()));
        for (auto *bar : top->findChildren<QProgressBar *>()) {
            lines << QStringLiteral("%1\t%2\t%3\t%4")
                         .arg(bar->objectName(), bar->text())
                         .arg(bar->value())
                         .arg(int(bar->property("error").toBool()));
        }
        for (auto *button : top->findChildren<QAbstractButton *>()) {
            lines << QStringLiteral("%1\t%2\t%3")
                         .arg(button->objectName())
                         .arg(int(button->isEnabled()))
                         .arg(int(button->isChecked()));
        }
    }
    return lines.join('\n').toUtf8() + '\n';
}

void startProbe()
{
    const QString path = qEnvironmentVariable("ZEL_PROBE_FILE");
    if (path.isEmpty() || !qobject_cast<QApplication *>(QCoreApplication::instance()))
        return;
    auto *timer = new QTimer(QCoreApplication::instance());
    auto *last = new QByteArray;
    QObject::connect(timer, &QTimer::timeout, [path, last] {
        const QByteArray now = snapshot();
        if (now == *last)
            return;
        QSaveFile file(path); // readers never see half a snapshot
        if (file.open(QIODevice::WriteOnly) && file.write(now) == now.size() && file.commit())
            *last = now;
    });
    timer->start(20);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(startProbe)
