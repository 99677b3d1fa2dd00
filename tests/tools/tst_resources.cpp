#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QResource>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray sourceFile(const QString &relative)
{
    QFile file(QStringLiteral(ZEL_RESOURCES_DIR "/") + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray resourceFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Straight-alpha source-over, as the raster engine paints a translucent colour.
QColor over(const QColor &src, const QColor &dst)
{
    const double sa = src.alphaF(), da = dst.alphaF();
    const double a = sa + da * (1 - sa);
    if (a <= 0)
        return QColor(0, 0, 0, 0);
    auto channel = [&](double s, double d) { return qRound((s * sa + d * da * (1 - sa)) / a); };
    return QColor(channel(src.red(), dst.red()), channel(src.green(), dst.green()),
                  channel(src.blue(), dst.blue()), qRound(a * 255));
}

bool near(const QColor &a, const QColor &b, int tolerance = 3)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance && qAbs(a.alpha() - b.alpha()) <= tolerance;
}

QString describe(const QColor &c)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)")
        .arg(c.red())
        .arg(c.green())
        .arg(c.blue())
        .arg(c.alpha());
}

QColor pixelAt(const QImage &image, int x, int y)
{
    return QColor::fromRgba(image.pixel(x, y));
}

QImage grabbed(QWidget &widget)
{
    widget.ensurePolished();
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

QStringList styleWarnings;

void collectWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        styleWarnings.append(message);
}

} // namespace

class tst_Resources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void generatorReproducesCommittedFiles_data();
    void generatorReproducesCommittedFiles();
    void generatedPngIcon();
    void treeHoldsExactlyTheSixFiles();
    void storage_data();
    void storage();
    void logos_data();
    void logos();
    void styleSheetRulesAndLineEnds();
    void styleSheetParses();
    void progressChunkColour_data();
    void progressChunkColour();
    void checkBoxIndicator_data();
    void checkBoxIndicator();
    void messageBoxGradient();

private:
    QTemporaryDir generated;
    QString styleSheet;
};

void tst_Resources::initTestCase()
{
    QVERIFY(generated.isValid());
    QProcess mklogos;
    mklogos.start(QStringLiteral(ZEL_MKLOGOS), {generated.path()});
    QVERIFY(mklogos.waitForFinished(60000));
    QCOMPARE(mklogos.exitStatus(), QProcess::NormalExit);
    QCOMPARE(mklogos.exitCode(), 0);

    // The same steps as the program's start-up.
    QFile css(QStringLiteral(":/css/stylesheet.css"));
    QVERIFY(css.open(QIODevice::ReadOnly));
    styleSheet = QString::fromLatin1(css.readAll());
    qApp->setStyleSheet(styleSheet);
}

void tst_Resources::generatorReproducesCommittedFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("small logo") << "img/zel-logo";
    QTest::newRow("wide logo") << "img/brasel-logo";
    QTest::newRow("windows icon") << "zelloader.ico";
}

void tst_Resources::generatorReproducesCommittedFiles()
{
    QFETCH(QString, file);
    QFile fresh(QDir(generated.path()).filePath(file));
    QVERIFY(fresh.open(QIODevice::ReadOnly));
    const QByteArray committed = sourceFile(file);
    QVERIFY(!committed.isEmpty());
    QVERIFY2(fresh.readAll() == committed, qPrintable(file + " differs from a fresh mklogos run"));
}

void tst_Resources::generatedPngIcon()
{
    // PNG bytes depend on the zlib at hand, so compare what the file shows.
    const QImage fresh(QDir(generated.path()).filePath(QStringLiteral("zelloader.png")));
    const QImage committed(QStringLiteral(ZEL_RESOURCES_DIR "/zelloader.png"));
    QVERIFY(!committed.isNull());
    QCOMPARE(committed.width(), committed.height());
    QVERIFY(committed.hasAlphaChannel());
    QCOMPARE(fresh.convertToFormat(QImage::Format_ARGB32),
             committed.convertToFormat(QImage::Format_ARGB32));
    // The tile's rounded corners are see-through, its middle is not.
    QCOMPARE(qAlpha(committed.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(committed.pixel(committed.width() / 2, committed.height() / 2)), 255);
}

void tst_Resources::treeHoldsExactlyTheSixFiles()
{
    QStringList files;
    QDirIterator it(QStringLiteral(":/"), QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        // Qt's own libraries register trees of their own, all named "q...".
        if (path.startsWith(QLatin1String(":/q")))
            continue;
        if (it.fileInfo().isFile())
            files.append(path);
    }
    files.sort();
    const QStringList expected{":/css/stylesheet.css", ":/firmware/pbase",  ":/firmware/pctrl",
                               ":/firmware/pkeys",     ":/img/brasel-logo", ":/img/zel-logo"};
    QCOMPARE(files, expected);
}

void tst_Resources::storage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("algorithm");
    const int zlib = QResource::ZlibCompression, none = QResource::NoCompression;
    QTest::newRow("style sheet") << ":/css/stylesheet.css"
                                 << "css/stylesheet.css" << zlib;
    QTest::newRow("main board firmware") << ":/firmware/pbase"
                                         << "firmware/pbase" << zlib;
    QTest::newRow("control panel firmware") << ":/firmware/pctrl"
                                            << "firmware/pctrl" << zlib;
    QTest::newRow("sensor firmware") << ":/firmware/pkeys"
                                     << "firmware/pkeys" << zlib;
    QTest::newRow("small logo") << ":/img/zel-logo"
                                << "img/zel-logo" << none;
    QTest::newRow("wide logo") << ":/img/brasel-logo"
                               << "img/brasel-logo" << none;
}

void tst_Resources::storage()
{
    QFETCH(QString, path);
    QFETCH(QString, source);
    QFETCH(int, algorithm);

    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(int(resource.compressionAlgorithm()), algorithm);
    const QByteArray original = sourceFile(source);
    QVERIFY(!original.isEmpty());
    QCOMPARE(resource.uncompressedSize(), qint64(original.size()));
    if (algorithm == QResource::NoCompression)
        QCOMPARE(resource.size(), qint64(original.size()));
    else
        QVERIFY(resource.size() < original.size());
    // Reading through QFile inflates transparently, byte for byte.
    QVERIFY(resourceFile(path) == original);
}

void tst_Resources::logos_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("bytes");
    QTest::newRow("small logo") << ":/img/zel-logo" << QSize(27, 33) << 2826;
    QTest::newRow("wide logo") << ":/img/brasel-logo" << QSize(200, 33) << 19854;
}

void tst_Resources::logos()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(int, bytes);

    const QByteArray data = resourceFile(path);
    QCOMPARE(data.size(), bytes);
    QVERIFY(data.startsWith("BM"));
    auto field = [&data](int offset, int width) {
        quint32 v = 0;
        for (int i = width - 1; i >= 0; --i)
            v = (v << 8) | quint8(data.at(offset + i));
        return v;
    };
    QCOMPARE(field(2, 4), quint32(bytes)); // file size
    QCOMPARE(field(28, 2), 24u);           // bits per pixel
    QCOMPARE(field(30, 4), 0u);            // no compression

    // The header shows the small one inside a rich-text label, found by content.
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
    QVERIFY(!image.hasAlphaChannel());
    // A mark, not an empty or flat bitmap: both the black ground and the gold appear.
    bool black = false, gold = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            black = black || (p & 0xffffff) == 0;
            gold = gold || (p & 0xffffff) == 0xf7e09d;
        }
    }
    QVERIFY(black);
    QVERIFY(gold);
}

void tst_Resources::styleSheetRulesAndLineEnds()
{
    const QByteArray css = resourceFile(QStringLiteral(":/css/stylesheet.css"));
    QVERIFY(!css.isEmpty());
    QVERIFY(!css.contains('\0'));
    for (int i = 0; i < css.size(); ++i) {
        if (css.at(i) == '\n')
            QVERIFY2(i > 0 && css.at(i - 1) == '\r', qPrintable(QString("bare LF at %1").arg(i)));
        if (css.at(i) == '\r')
            QVERIFY2(i + 1 < css.size() && css.at(i + 1) == '\n',
                     qPrintable(QString("bare CR at %1").arg(i)));
    }

    // Order decides between rules of equal specificity, so it is checked as a whole.
    const QStringList expected{
        "QScrollArea, QWidget",
        "#zelLoader, QMessageBox",
        "#headerSensor, #headerTerminal, #headerMainboard, #headerUpdate",
        "#headerSensor:disabled, #headerTerminal:disabled, #headerMainboard:disabled, "
        "#headerUpdate:disabled",
        "#logoHeader",
        "*",
        "*:disabled",
        "QToolButton, QPushButton",
        "QToolButton::hover, QPushButton::hover",
        "QPushButton",
        "QToolButton:disabled, QPushButton:disabled",
        "QCheckBox::hover",
        "QCheckBox::indicator",
        "QCheckBox::indicator::checked",
        "QCheckBox::indicator:disabled",
        "QCheckBox::indicator::checked:disabled",
        "QProgressBar",
        "QProgressBar:disabled",
        "QProgressBar::chunk",
        "QProgressBar[working=true]::chunk",
        "QProgressBar[working=true]::chunk:disabled",
        "QProgressBar[pending=true]::chunk",
        "QProgressBar[pending=true]::chunk:disabled",
        "QProgressBar[done=true]::chunk",
        "QProgressBar[done=true]::chunk:disabled",
        "QProgressBar[error=true]::chunk",
        "QProgressBar[error=true]::chunk:disabled",
        "#totalProgress:disabled",
    };
    QStringList selectors;
    const QRegularExpression rule(QStringLiteral("([^{}]+)\\{([^{}]*)\\}"));
    const QRegularExpression declaration(QStringLiteral("^\\s*[a-z-]+\\s*:\\s*[^;:]+\\S\\s*$"));
    auto it = rule.globalMatch(QString::fromLatin1(css));
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        selectors.append(match.captured(1).simplified());
        const QStringList declarations =
            match.captured(2).split(QLatin1Char(';'), Qt::SkipEmptyParts);
        int count = 0;
        for (const QString &d : declarations) {
            if (d.trimmed().isEmpty())
                continue;
            ++count;
            // "background: qlineargradient(x1: 0, ...)" keeps colons inside its value.
            if (!d.contains(QLatin1String("qlineargradient")))
                QVERIFY2(declaration.match(d).hasMatch(), qPrintable(d));
        }
        QVERIFY2(count > 0, qPrintable(match.captured(1)));
    }
    QCOMPARE(selectors, expected);
    // Nothing outside the rules.
    QString rest = QString::fromLatin1(css);
    rest.remove(rule);
    QCOMPARE(rest.trimmed(), QString());
}

void tst_Resources::styleSheetParses()
{
    // Qt drops a whole style sheet it cannot parse, with only a warning to show for it.
    styleWarnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectWarnings);
    QWidget widget;
    widget.setStyleSheet(styleSheet);
    QProgressBar bar(&widget);
    widget.ensurePolished();
    bar.ensurePolished();
    qInstallMessageHandler(previous);
    // Qt notes the alpha given to rgb() in the first rule, and honours it.
    styleWarnings.removeAll(
        QStringLiteral("QCssParser::parseColorValue: Specified color "
                       "without alpha value but alpha given: 'rgb 0, 0, 0, 0'"));
    QCOMPARE(styleWarnings, QStringList());
}

void tst_Resources::progressChunkColour_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QColor>("chunk");

    QTest::newRow("no state") << QByteArray() << true << QColor(128, 128, 160, 128);
    QTest::newRow("no state, disabled") << QByteArray() << false << QColor(128, 128, 160, 128);
    QTest::newRow("working") << QByteArray("working") << true << QColor(142, 134, 94, 128);
    QTest::newRow("working, disabled") << QByteArray("working") << false << QColor("#535353");
    QTest::newRow("pending") << QByteArray("pending") << true << QColor("#aa8742");
    QTest::newRow("pending, disabled") << QByteArray("pending") << false << QColor("#776722");
    QTest::newRow("done") << QByteArray("done") << true << QColor("#4d9A4d");
    QTest::newRow("done, disabled") << QByteArray("done") << false << QColor("#4d7A4d");
    QTest::newRow("error") << QByteArray("error") << true << QColor("#9A4d4d");
    QTest::newRow("error, disabled") << QByteArray("error") << false << QColor("#7A4d4d");
}

void tst_Resources::progressChunkColour()
{
    QFETCH(QByteArray, property);
    QFETCH(bool, enabled);
    QFETCH(QColor, chunk);

    QProgressBar bar;
    bar.setRange(0, 100);
    bar.setValue(50);
    bar.setTextVisible(false);
    bar.resize(200, 30);
    // As the update sequence does: all four cleared, at most one set.
    for (const char *name : {"working", "pending", "done", "error"})
        bar.setProperty(name, false);
    if (!property.isEmpty())
        bar.setProperty(property.constData(), true);
    bar.setEnabled(enabled);

    const QImage image = grabbed(bar);
    const int y = image.height() / 2;
    // The left half is chunk, the right half the bar's own translucent background.
    const QColor groove = pixelAt(image, image.width() * 3 / 4, y);
    // The bar's background shows twice there: once as the widget's own, once as the
    // groove's box, both from the same rule.
    const QColor background(128, 128, 128, enabled ? 128 : 50);
    QVERIFY2(near(groove, over(background, background)), qPrintable(describe(groove)));
    const QColor seen = pixelAt(image, image.width() / 4, y);
    const QColor expected = over(chunk, groove);
    QVERIFY2(near(seen, expected),
             qPrintable(
                 QStringLiteral("chunk %1, expected %2").arg(describe(seen), describe(expected))));
}

void tst_Resources::checkBoxIndicator_data()
{
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QColor>("fill");
    QTest::addColumn<QColor>("border");

    QTest::newRow("unchecked") << false << true << QColor(64, 64, 64, 192)
                               << QColor(179, 162, 113, 192);
    QTest::newRow("checked") << true << true << QColor(237, 224, 157, 192)
                             << QColor(179, 162, 113, 192);
    QTest::newRow("unchecked, disabled")
        << false << false << QColor(64, 64, 64, 64) << QColor(179, 162, 113, 64);
    QTest::newRow("checked, disabled")
        << true << false << QColor(237, 224, 157, 64) << QColor(179, 162, 113, 64);
}

void tst_Resources::checkBoxIndicator()
{
    QFETCH(bool, checked);
    QFETCH(bool, enabled);
    QFETCH(QColor, fill);
    QFETCH(QColor, border);

    QCheckBox box(QStringLiteral("Keys 12-20"));
    box.setChecked(checked);
    box.setEnabled(enabled);
    const QImage image = grabbed(box);
    QStyleOptionButton option;
    option.initFrom(&box);
    const QRect indicator =
        box.style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, &box);
    QVERIFY(indicator.width() > 4 && indicator.height() > 4);

    // The widget's own background is transparent, so the colours show unmixed.
    const QColor middle = pixelAt(image, indicator.center().x(), indicator.center().y());
    QVERIFY2(near(middle, fill), qPrintable(describe(middle)));
    // The border is drawn over the indicator's fill.
    const QColor edge = pixelAt(image, indicator.left(), indicator.center().y());
    QVERIFY2(near(edge, over(border, fill)), qPrintable(describe(edge)));
}

void tst_Resources::messageBoxGradient()
{
    QMessageBox box(QMessageBox::Information, QStringLiteral("Zelora"), QStringLiteral("Done"),
                    QMessageBox::Ok);
    box.resize(300, 200);
    const QImage image = grabbed(box);
    // The gradient runs from the bottom-left corner (dark) to the top-right (light).
    const QColor dark = pixelAt(image, 0, image.height() - 1);
    const QColor light = pixelAt(image, image.width() - 1, 0);
    QVERIFY2(near(dark, QColor("#1d1d1d"), 4), qPrintable(describe(dark)));
    QVERIFY2(near(light, QColor("#686868"), 4), qPrintable(describe(light)));
}

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
