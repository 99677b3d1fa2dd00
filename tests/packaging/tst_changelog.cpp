#include "testfiles.h"

#include <QDate>
#include <QLocale>
#include <QTemporaryDir>
#include <QtTest>

// CHANGELOG.md turned into the Debian changelog and the AppStream release notes.
class TestChangelog : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString error; // the script's complaint, when it refused the file

    QString convert(const QByteArray &markdown, const QString &format)
    {
        error.clear();
        const QString input = dir.filePath("CHANGELOG.md"), output = dir.filePath("out." + format);
        if (!writeFile(input, markdown))
            return "cannot write " + input;
        QFile::remove(output);
        const Ran cmake = runProcess(ZEL_CMAKE, {"-DCHANGELOG=" + input, "-DFORMAT=" + format,
                                                 "-DOUTPUT=" + output, "-DPACKAGE=pkg",
                                                 "-DMAINTAINER=Ann Example <ann@example.org>", "-P",
                                                 ZEL_CHANGELOG_SCRIPT});
        if (cmake.code != 0) {
            error = QString::fromUtf8(cmake.err).simplified();
            return QString();
        }
        return QString::fromUtf8(readFile(output));
    }

private slots:
    void initTestCase() { QVERIFY(dir.isValid()); }

    void converts_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("markdown");
        QTest::addColumn<QString>("expected");
        const QByteArray twoReleases = "# Changelog\n\nAn introduction, not a release.\n\n"
                                       "## [Unreleased]\n\n- Not released yet.\n\n"
                                       "## [1.2.0] - 2024-02-29\n\n"
                                       "- First change.\n"
                                       "- Second change, which goes on\n  over a second line.\n\n"
                                       "## 1.1.0 - 2000-01-01\n\n### Fixed\n\n"
                                       "- A fix; with [brackets] and `code` kept.\n";
        const QString expected =
            "pkg (1.2.0) unstable; urgency=medium\n\n"
            "  * First change.\n"
            "  * Second change, which goes on over a second line.\n\n"
            " -- Ann Example <ann@example.org>  Thu, 29 Feb 2024 12:00:00 +0000\n\n"
            "pkg (1.1.0) unstable; urgency=medium\n\n"
            "  * A fix; with [brackets] and `code` kept.\n\n"
            " -- Ann Example <ann@example.org>  Sat, 01 Jan 2000 12:00:00 +0000\n\n";
        QTest::newRow("two releases") << "debian" << twoReleases << expected;
        QTest::newRow("CR LF") << "debian" << QByteArray(twoReleases).replace("\n", "\r\n")
                               << expected;
        QTest::newRow("long item")
            << "debian"
            << QByteArray("## [2.0.0] - 2026-12-06\n\n- The quick brown fox jumps over the lazy "
                          "dog, and the dog, being lazy, does not mind at all; it sleeps on "
                          "until the evening comes.\n")
            << "pkg (2.0.0) unstable; urgency=medium\n\n"
               "  * The quick brown fox jumps over the lazy dog, and the dog, being lazy, does\n"
               "    not mind at all; it sleeps on until the evening comes.\n\n"
               " -- Ann Example <ann@example.org>  Sun, 06 Dec 2026 12:00:00 +0000\n\n";
        QTest::newRow("AppStream")
            << "appstream"
            << QByteArray("## [1.2.0] - 2024-02-29\n\n- Use `<b>` & \"more\".\n\n"
                          "## [1.1.0] - 2000-01-01\n\n- Old.\n")
            << "    <release version=\"1.2.0\" date=\"2024-02-29\">\n"
               "      <description>\n        <ul>\n"
               "          <li>Use &lt;b&gt; &amp; \"more\".</li>\n"
               "        </ul>\n      </description>\n    </release>\n"
               "    <release version=\"1.1.0\" date=\"2000-01-01\">\n"
               "      <description>\n        <ul>\n"
               "          <li>Old.</li>\n"
               "        </ul>\n      </description>\n    </release>\n";
    }

    void converts()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, markdown);
        QFETCH(QString, expected);
        QCOMPARE(convert(markdown, format), expected);
        QCOMPARE(error, QString());
    }

    // The day's name in a Debian changelog must be the date's, or dpkg and lintian object.
    void weekday_data()
    {
        QTest::addColumn<QString>("date");
        // Every month once, and the leap days of the centuries around them.
        for (const char *date :
             {"2000-01-01", "2024-02-29", "2100-02-28", "1900-03-01", "2024-03-01", "2023-04-30",
              "2025-05-01", "2026-06-15", "2027-07-04", "2028-08-31", "2029-09-09", "2030-10-10",
              "2031-11-11", "2023-12-31"})
            QTest::newRow(date) << date;
    }

    void weekday()
    {
        QFETCH(QString, date);
        const QString text =
            convert("## [1.0.0] - " + date.toLatin1() + "\n\n- Change.\n", "debian");
        const QDate day = QDate::fromString(date, Qt::ISODate);
        const QString stamp = QLocale::c().dayName(day.dayOfWeek(), QLocale::ShortFormat) + ", " +
                              QLocale::c().toString(day, "dd MMM yyyy") + " 12:00:00 +0000";
        QVERIFY2(text.contains("  " + stamp + '\n'), qPrintable(text + error));
    }

    // A file the script cannot read faithfully is refused, naming the line.
    void rejected_data()
    {
        QTest::addColumn<QByteArray>("markdown");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("no date") << QByteArray("# Changelog\n\n## [1.0.0]\n\n- Change.\n")
                                 << "CHANGELOG.md:3: a release heading reads";
        QTest::newRow("impossible date")
            << QByteArray("## [1.0.0] - 2024-13-01\n\n- Change.\n") << "'2024-13-01' is not a date";
        QTest::newRow("prose") << QByteArray("## [1.0.0] - 2024-01-01\n\nWhat changed.\n")
                               << "CHANGELOG.md:3: under a release only '- ' items belong";
        QTest::newRow("no changes")
            << QByteArray("## [1.0.0] - 2024-01-01\n\n## [0.9.0] - 2023-01-01\n\n- Change.\n")
            << "CHANGELOG.md:3: release 1.0.0 lists no changes";
        QTest::newRow("twice")
            << QByteArray("## [1.0.0] - 2024-01-01\n\n- A.\n\n## [1.0.0] - 2023-01-01\n\n- B.\n")
            << "CHANGELOG.md:5: release 1.0.0 is listed twice";
    }

    void rejected()
    {
        QFETCH(QByteArray, markdown);
        QFETCH(QString, complaint);
        QCOMPARE(convert(markdown, "debian"), QString());
        QVERIFY2(error.contains(complaint), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestChangelog)
#include "tst_changelog.moc"
