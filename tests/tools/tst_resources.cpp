#include <QApplication>
#include <QDirIterator>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QResource>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString sourceDir = QStringLiteral(ZEL_RESOURCES_DIR "/");

// Straight-alpha source-over, as the raster engine paints a translucent colour.
QColor over(const QColor &src, const QColor &dst)
{
    const double sa = src.alphaF(), da = dst.alphaF(), a = sa + da * (1 - sa);
    auto channel = [&](double s, double d) { return qRound((s * sa + d * da * (1 - sa)) / a); };
    return QColor(channel(src.red(), dst.red()), channel(src.green(), dst.green()),
                  channel(src.blue(), dst.blue()), qRound(a * 255));
}

bool near(const QColor &a, const QColor &b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

QImage grabbed(QWidget &widget)
{
    widget.ensurePolished();
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qApp->setStyleSheet(QString::fromLatin1(readFile(QStringLiteral(":/css/stylesheet.css"))));
    }

    void generatorReproducesCommittedFiles()
    {
        QTemporaryDir out;
        QProcess mklogos;
        mklogos.start(QStringLiteral(ZEL_MKLOGOS), {out.path()});
        QVERIFY(mklogos.waitForFinished(60000));
        QCOMPARE(mklogos.exitCode(), 0);
        for (const QString file : {"img/zel-logo", "img/brasel-logo", "zelloader.ico"}) {
            const QByteArray committed = readFile(sourceDir + file);
            QVERIFY2(!committed.isEmpty() && readFile(out.filePath(file)) == committed,
                     qPrintable(file));
        }
    }

    void treeHoldsTheSixFiles()
    {
        const QMap<QString, bool> expected{
            {":/css/stylesheet.css", true}, {":/firmware/pbase", true},
            {":/firmware/pctrl", true},     {":/firmware/pkeys", true},
            {":/img/brasel-logo", false},   {":/img/zel-logo", false}};
        QMap<QString, bool> compressed;
        QDirIterator it(QStringLiteral(":/"), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.startsWith(QLatin1String(":/q"))) // Qt's own trees
                continue;
            compressed.insert(path,
                              QResource(path).compressionAlgorithm() == QResource::ZlibCompression);
            // Read through QFile, a compressed entry comes back byte for byte.
            QVERIFY2(readFile(path) == readFile(sourceDir + path.mid(2)), qPrintable(path));
        }
        QCOMPARE(compressed, expected);
    }

    void logos_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("bytes");
        QTest::newRow("small logo") << ":/img/zel-logo" << QSize(27, 33) << 2826;
        QTest::newRow("wide logo") << ":/img/brasel-logo" << QSize(200, 33) << 19854;
    }

    void logos()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        QFETCH(int, bytes);
        const QByteArray bmp = readFile(path);
        QCOMPARE(bmp.size(), bytes);
        QCOMPARE(int(bmp.at(28)), 24); // bits per pixel
        QCOMPARE(QImage(path).size(), size);
    }

    void styleSheetRulesInOrder()
    {
        const QByteArray css = readFile(QStringLiteral(":/css/stylesheet.css"));
        QCOMPARE(css.count("\r\n"), css.count('\n'));
        QCOMPARE(css.count('\r'), css.count('\n'));
        // Order decides between rules of equal specificity.
        QStringList selectors;
        auto it = QRegularExpression(QStringLiteral("([^{}]+)\\{[^{}]*\\}"))
                      .globalMatch(QString::fromLatin1(css));
        while (it.hasNext())
            selectors.append(it.next().captured(1).simplified());
        const QString expected = QLatin1String(R"(QScrollArea, QWidget | #zelLoader, QMessageBox
#headerSensor, #headerTerminal, #headerMainboard, #headerUpdate
#headerSensor:disabled, #headerTerminal:disabled, #headerMainboard:disabled, #headerUpdate:disabled
#logoHeader | * | *:disabled | QToolButton, QPushButton | QToolButton::hover, QPushButton::hover
QPushButton | QToolButton:disabled, QPushButton:disabled | QCheckBox::hover | QCheckBox::indicator
QCheckBox::indicator::checked | QCheckBox::indicator:disabled | QCheckBox::indicator::checked:disabled
QProgressBar | QProgressBar:disabled | QProgressBar::chunk
QProgressBar[working=true]::chunk | QProgressBar[working=true]::chunk:disabled
QProgressBar[pending=true]::chunk | QProgressBar[pending=true]::chunk:disabled
QProgressBar[done=true]::chunk | QProgressBar[done=true]::chunk:disabled
QProgressBar[error=true]::chunk | QProgressBar[error=true]::chunk:disabled | #totalProgress:disabled)");
        QCOMPARE(selectors.join(QLatin1String(" | ")), QString(expected).replace('\n', " | "));
    }

    void progressChunkColour_data()
    {
        QTest::addColumn<QByteArray>("property");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("chunk");
        QTest::newRow("no state") << QByteArray() << true << QColor(128, 128, 160, 128);
        QTest::newRow("done") << QByteArray("done") << true << QColor("#4d9A4d");
        QTest::newRow("done, disabled") << QByteArray("done") << false << QColor("#4d7A4d");
    }

    void progressChunkColour()
    {
        QFETCH(QByteArray, property);
        QFETCH(bool, enabled);
        QFETCH(QColor, chunk);
        QProgressBar bar;
        bar.setValue(50);
        bar.setTextVisible(false);
        bar.resize(200, 30);
        // As the update sequence does: all four cleared, at most one set.
        for (const char *name : {"working", "pending", "done", "error"})
            bar.setProperty(name, property == name);
        bar.setEnabled(enabled);
        const QImage image = grabbed(bar);
        // The chunk is drawn over the bar's translucent background, seen right of it.
        const QColor groove = QColor::fromRgba(image.pixel(150, 15));
        const QColor seen = QColor::fromRgba(image.pixel(50, 15));
        QVERIFY2(near(seen, over(chunk, groove)), qPrintable(seen.name(QColor::HexArgb)));
    }

    void messageBoxGradient()
    {
        QMessageBox box(QMessageBox::Information, QStringLiteral("Zelora"), QStringLiteral("Done"),
                        QMessageBox::Ok);
        box.resize(300, 200);
        const QImage image = grabbed(box);
        // From the bottom-left corner (dark) to the top-right one (light).
        QVERIFY(near(QColor::fromRgba(image.pixel(0, image.height() - 1)), QColor("#1d1d1d"), 4));
        QVERIFY(near(QColor::fromRgba(image.pixel(image.width() - 1, 0)), QColor("#686868"), 4));
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
