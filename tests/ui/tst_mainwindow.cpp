// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivecombo.h"
#include "logview.h"
#include "mainwindow.h"
#include "windowfixture.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QTreeView>

namespace {

const QStringList widgetMembers = {"versionCombo",    "kickstartLabel", "reloadButton",     "localImageCheck",
                                   "countCheck",      "localImageEdit", "localImageButton", "romEdit",
                                   "romButton",       "useExtCheck",    "extEdit",          "extButton",
                                   "driveCombo",      "refreshButton",  "statusLabel",      "progressBar",
                                   "logView",         "installButton",  "cancelButton",     "copyLogButton",
                                   "clearCacheButton"};

const QByteArray twoDrives = R"({"blockdevices": [
  {"name": "sdx", "path": "/dev/sdx", "size": 15931539456, "type": "disk", "rm": true, "hotplug": true,
   "tran": "usb", "vendor": "Generic", "model": "STORAGE DEVICE", "ro": false, "mountpoints": [null]},
  {"name": "sdy", "path": "/dev/sdy", "size": 2199023255552, "type": "disk", "rm": true, "hotplug": true,
   "tran": "usb", "vendor": "Big", "model": "Disk", "ro": false, "mountpoints": [null]}]})";

const QString placeholder = QStringLiteral("– Bitte Speicherkarte auswählen –");
const QString noCard = QStringLiteral("(keine Speicherkarte gefunden)");
const QString noCardHint =
    QStringLiteral("Keine Speicherkarte gefunden. Eine eingesteckte Karte wird von selbst erkannt.");

// The file dialog lists its folder in the background and selects what its name field holds once
// the folder is there; it is ready when both files are listed.
bool hasListedFolder(QFileDialog *dialog)
{
    const auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
    return view && view->model()->rowCount(view->rootIndex()) == 2;
}

// Qt's own dialog gives its name column a few letters unless told otherwise.
bool showsWholeName(QFileDialog *dialog, const QString &name)
{
    const auto *details = dialog->findChild<QTreeView *>(QStringLiteral("treeView"));
    return details && details->header()->sectionSize(0) > details->fontMetrics().horizontalAdvance(name);
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private:
    // The window reads its list from a file that does not exist, so loading ends at once.
    std::unique_ptr<MainWindow> makeWindow()
    {
        return std::make_unique<MainWindow>(
            QUrl::fromLocalFile(scratch.filePath(QStringLiteral("none.json"))),
            QUrl(QStringLiteral("https://images.example.org/tobra/")));
    }

    std::unique_ptr<FakeLsblk> lsblk;
    QTemporaryDir scratch;

private Q_SLOTS:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
        QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(scratch.filePath(QStringLiteral("cache"))));
        lsblk = std::make_unique<FakeLsblk>();
    }

    void init()
    {
        QSettings().clear();
        QDir(Installation::imageCache()).removeRecursively();
        lsblk->answer(R"({"blockdevices": []})");
    }

    void widgetsCarryTheirTexts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("text");

        QTest::newRow("reloadButton") << "reloadButton"
                                      << "1. Version"
                                      << "&Neu laden";
        QTest::newRow("localImageCheck") << "localImageCheck"
                                         << "1. Version"
                                         << "&Lokale Image-Datei verwenden (ohne Download)";
        QTest::newRow("localImageButton") << "localImageButton"
                                          << "1. Version"
                                          << "&Auswählen …";
        QTest::newRow("romEdit") << "romEdit"
                                 << "2. ROM-Dateien"
                                 << "ROM-Datei (wird als Rom/rom.bin kopiert)";
        QTest::newRow("romButton") << "romButton"
                                   << "2. ROM-Dateien"
                                   << "Aus&wählen …";
        QTest::newRow("useExtCheck") << "useExtCheck"
                                     << "2. ROM-Dateien"
                                     << "Zusätzlich eine &ext.bin verwenden (z. B. bei AROS)";
        QTest::newRow("extEdit") << "extEdit"
                                 << "2. ROM-Dateien"
                                 << "Erweiterungs-ROM (wird als Rom/ext.bin kopiert)";
        QTest::newRow("extButton") << "extButton"
                                   << "2. ROM-Dateien"
                                   << "Auswä&hlen …";
        QTest::newRow("refreshButton") << "refreshButton"
                                       << "3. Speicherkarte"
                                       << "Ak&tualisieren";
        QTest::newRow("countCheck") << "countCheck"
                                    << ""
                                    << "Anonym mitzählen, wie oft Tobra installiert wird";
        QTest::newRow("cancelButton") << "cancelButton"
                                      << ""
                                      << "A&bbrechen";
        QTest::newRow("installButton") << "installButton"
                                       << ""
                                       << "&Installieren";
        QTest::newRow("copyLogButton") << "copyLogButton"
                                       << ""
                                       << "&Protokoll kopieren";
        QTest::newRow("clearCacheButton") << "clearCacheButton"
                                          << ""
                                          << "&Cache leeren";
    }

    // Texts (placeholder texts for line edits) and which group box holds each widget.
    void widgetsCarryTheirTexts()
    {
        QFETCH(QString, name);
        QFETCH(QString, group);
        QFETCH(QString, text);
        const auto window = makeWindow();
        QWidget *widget = member<QWidget>(*window, qPrintable(name));
        QVERIFY(widget);

        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            QCOMPARE(edit->placeholderText(), text);
        else
            QCOMPARE(widget->property("text").toString(), text);

        QWidget *box = widget->parentWidget();
        while (box && !qobject_cast<QGroupBox *>(box))
            box = box->parentWidget();
        QCOMPARE(box ? static_cast<QGroupBox *>(box)->title() : QString(), group);
    }

    void windowShell()
    {
        const auto window = makeWindow();
        QCOMPARE(window->windowTitle(), QStringLiteral("Tobra Installer"));
        QCOMPARE(window->metaObject()->className(), "MainWindow");
        for (const QString &name : widgetMembers)
            QVERIFY2(window->findChild<QWidget *>(name), qPrintable(name));

        auto *countCheck = member<QCheckBox>(*window, "countCheck");
        QCOMPARE(countCheck->toolTip(),
                 QStringLiteral("Nach einer erfolgreichen Installation wird nur der Name des "
                                "Images an den Server gemeldet. Gespeichert wird nur ein "
                                "Zähler pro Image."));
        QVERIFY(member<QPushButton>(*window, "installButton")->isDefault());
        QVERIFY(!member<QPushButton>(*window, "cancelButton")->isEnabled());
        QVERIFY(member<QLabel>(*window, "kickstartLabel")->text().isEmpty());
        auto *log = member<QPlainTextEdit>(*window, "logView");
        QVERIFY(log->isReadOnly());
        QVERIFY(log->minimumHeight() >= 4 * log->fontMetrics().lineSpacing());
        auto *bar = member<QProgressBar>(*window, "progressBar");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(!window->menuWidget());
    }

    void enablingRules_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<bool>("ext");
        QTest::addColumn<QList<bool>>("busySteps");
        QTest::addColumn<QStringList>("disabled");

        // Nothing is chosen yet, so Install waits as well.
        const QStringList idleOff = {"localImageEdit", "localImageButton", "extEdit",
                                     "extButton",      "cancelButton",     "installButton"};
        const QStringList busy = {"reloadButton",   "refreshButton",    "versionCombo",    "driveCombo",
                                  "romButton",      "romEdit",          "localImageCheck", "useExtCheck",
                                  "localImageEdit", "localImageButton", "extEdit",         "extButton",
                                  "installButton"};
        QTest::newRow("idle") << false << false << QList<bool>{} << idleOff;
        QTest::newRow("local image") << true << false << QList<bool>{}
                                     << QStringList{"versionCombo", "extEdit", "extButton", "cancelButton",
                                                    "installButton"};
        QTest::newRow("ext rom") << false << true << QList<bool>{}
                                 << QStringList{"localImageEdit", "localImageButton", "cancelButton",
                                                "installButton"};
        QTest::newRow("busy") << true << true << QList<bool>{true} << busy;
        QTest::newRow("busy, then idle") << false << false << QList<bool>{true, false} << idleOff;
        QTest::newRow("busy, then idle with local image")
            << true << true << QList<bool>{true, false}
            << QStringList{"versionCombo", "cancelButton", "installButton"};
    }

    // countCheck and the display widgets stay enabled whatever happens.
    void enablingRules()
    {
        QFETCH(bool, local);
        QFETCH(bool, ext);
        QFETCH(QList<bool>, busySteps);
        QFETCH(QStringList, disabled);
        const auto window = makeWindow();
        member<QCheckBox>(*window, "localImageCheck")->setChecked(local);
        member<QCheckBox>(*window, "useExtCheck")->setChecked(ext);
        for (bool busy : busySteps)
            window->setBusy(busy);

        disabled << "clearCacheButton"; // the cache is empty
        QStringList actual;
        for (const QString &name : widgetMembers)
            if (!window->findChild<QWidget *>(name)->isEnabled())
                actual << name;
        disabled.sort();
        actual.sort();
        QCOMPARE(actual, disabled);
    }

    void firstStartShowsDefaults()
    {
        const auto window = makeWindow();
        QVERIFY(member<QLineEdit>(*window, "romEdit")->text().isEmpty());
        QVERIFY(member<QLineEdit>(*window, "extEdit")->text().isEmpty());
        QVERIFY(!member<QCheckBox>(*window, "useExtCheck")->isChecked());
        // Counting is opt-in: no consent before the user gives it.
        QVERIFY(!member<QCheckBox>(*window, "countCheck")->isChecked());
    }

    void settingsRoundTrip()
    {
        {
            QSettings settings;
            settings.setValue("romPath", "/roms/kick.rom");
            settings.setValue("extPath", "/roms/ext.rom");
            settings.setValue("useExt", true);
            settings.setValue("countInstall", false);
        }
        const auto window = makeWindow();
        QCOMPARE(member<QLineEdit>(*window, "romEdit")->text(), QStringLiteral("/roms/kick.rom"));
        QCOMPARE(member<QLineEdit>(*window, "extEdit")->text(), QStringLiteral("/roms/ext.rom"));
        QVERIFY(member<QCheckBox>(*window, "useExtCheck")->isChecked());
        QVERIFY(member<QLineEdit>(*window, "extEdit")->isEnabled());
        QVERIFY(!member<QCheckBox>(*window, "countCheck")->isChecked());

        member<QLineEdit>(*window, "romEdit")->setText("/other/rom.bin");
        member<QCheckBox>(*window, "countCheck")->setChecked(true);
        member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
        member<QLineEdit>(*window, "localImageEdit")->setText("/images/x.img");
        window->show();
        QVERIFY(window->close());

        QSettings settings;
        QCOMPARE(settings.allKeys(), QStringList({"countInstall", "extPath", "romPath", "useExt"}));
        QCOMPARE(settings.value("romPath").toString(), QStringLiteral("/other/rom.bin"));
        QCOMPARE(settings.value("extPath").toString(), QStringLiteral("/roms/ext.rom"));
        QCOMPARE(settings.value("useExt").toBool(), true);
        QCOMPARE(settings.value("countInstall").toBool(), true);
    }

    void closeWhileBusy_data()
    {
        QTest::addColumn<bool>("quit");
        QTest::newRow("go on installing") << false;
        QTest::newRow("cancel and quit") << true;
    }

    // A close during a run asks; only "Abbrechen und beenden" ends the run and the window.
    void closeWhileBusy()
    {
        QFETCH(bool, quit);
        const auto window = makeWindow();
        window->show();
        member<QLineEdit>(*window, "romEdit")->setText("/roms/kick.rom");
        window->setBusy(true);

        QString title, text;
        QStringList buttons;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            title = box->windowTitle();
            text = box->text();
            for (QAbstractButton *button : box->buttons())
                buttons << button->text();
            box->button(quit ? QMessageBox::Yes : QMessageBox::No)->click();
        });
        QCOMPARE(window->close(), quit);
        QCOMPARE(title, QStringLiteral("Tobra Installer"));
        QCOMPARE(text,
                 QStringLiteral("Es läuft gerade eine Installation. Wird sie abgebrochen, ist die Karte "
                                "danach womöglich nicht benutzbar."));
        buttons.sort();
        QCOMPARE(buttons, QStringList({"&Weiter installieren", "Abbrechen und &beenden"}));
        QCOMPARE(window->isVisible(), !quit);
        QCOMPARE(QSettings().contains("romPath"), quit);
        QCOMPARE(member<QPushButton>(*window, "cancelButton")->isEnabled(), !quit);
        window->setBusy(false);
    }

    // Escape asks before it cancels a run; Ctrl+Q closes an idle window.
    void keyboardEndsRunAndWindow()
    {
        const auto window = makeWindow();
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        window->setBusy(true);
        QTRY_COMPARE(QApplication::focusWidget(), member<QWidget>(*window, "cancelButton"));

        auto *installation = window->findChild<Installation *>();
        QString question;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            question = box->text();
            box->button(QMessageBox::No)->click();
        });
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        QCOMPARE(question, QStringLiteral("Die Installation abbrechen?"));
        QVERIFY(member<QPushButton>(*window, "cancelButton")->isEnabled());
        QCOMPARE(window->findChild<Installation *>(), installation);
        window->setBusy(false);

        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_Q, Qt::ControlModifier);
        QTRY_VERIFY(!window->isVisible());
    }

    // Every button and every labelled field has an Alt key of its own.
    void altKeysAreUnique()
    {
        const auto window = makeWindow();
        QStringList keys;
        QList<QWidget *> labelled;
        for (QPushButton *button : window->findChildren<QPushButton *>())
            labelled << button;
        for (QCheckBox *box : window->findChildren<QCheckBox *>())
            labelled << box;
        for (QLabel *label : window->findChildren<QLabel *>())
            if (label->buddy())
                labelled << label;
        for (QWidget *widget : labelled) {
            const QString text = widget->property("text").toString();
            const qsizetype amp = text.indexOf('&');
            if (amp < 0 || amp + 1 >= text.size()) {
                QVERIFY2(!qobject_cast<QPushButton *>(widget), qPrintable(widget->objectName() + " " + text));
                continue;
            }
            keys << text.at(amp + 1).toLower();
        }
        QVERIFY(keys.size() >= 16);
        QCOMPARE(QSet<QString>(keys.begin(), keys.end()).size(), keys.size());
    }

    void driveRefreshKeepsTheChosenDrive()
    {
        lsblk->answer(twoDrives);
        const auto window = makeWindow();
        auto *drives = member<QComboBox>(*window, "driveCombo");
        QCOMPARE(itemTexts(drives), QStringList({placeholder, "Generic STORAGE DEVICE (15,9 GB) – /dev/sdx",
                                                 "Big Disk (2.199,0 GB) – /dev/sdy", "Mehrere Karten …"}));
        QCOMPARE(drives->currentIndex(), 0);
        QCOMPARE(drives->itemData(0, Qt::UserRole).toString(), QString());
        QCOMPARE(drives->itemData(2, Qt::UserRole).toString(), QStringLiteral("/dev/sdy"));
        const QVariant size = drives->itemData(2, Qt::UserRole + 1);
        QCOMPARE(size.typeId(), QMetaType::LongLong);
        QCOMPARE(size.toLongLong(), Q_INT64_C(2199023255552));

        drives->setCurrentIndex(2);
        const QString status = member<QLabel>(*window, "statusLabel")->text();
        member<QPushButton>(*window, "refreshButton")->click();
        QCOMPARE(drives->currentData().toString(), QStringLiteral("/dev/sdy"));
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(), status);

        lsblk->answer(QByteArray(twoDrives).replace("sdy", "sdz"));
        member<QPushButton>(*window, "refreshButton")->click();
        QCOMPARE(drives->count(), 4);
        QCOMPARE(drives->currentIndex(), 0);
    }

    void driveRefreshWithoutDrives_data()
    {
        QTest::addColumn<bool>("lsblkFails");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("no drives") << false << noCardHint;
        QTest::newRow("lsblk fails") << true << "lsblk (Paket util-linux) konnte nicht ausgeführt werden";
    }

    void driveRefreshWithoutDrives()
    {
        QFETCH(bool, lsblkFails);
        QFETCH(QString, logLine);
        lsblk->answer(twoDrives);
        const auto window = makeWindow();
        auto *drives = member<QComboBox>(*window, "driveCombo");
        drives->setCurrentIndex(1);

        if (lsblkFails)
            lsblk->fail();
        else
            lsblk->answer(R"({"blockdevices": []})");
        member<QPushButton>(*window, "refreshButton")->click();
        QCOMPARE(itemTexts(drives), QStringList{noCard});
        QCOMPARE(drives->currentData().toString(), QString());
        QCOMPARE(logLines(*window).last(), logLine);
        QCOMPARE(logLines(*window).count(noCardHint), lsblkFails ? 0 : 1);
    }

    void redactAddresses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("http") << "Fehler bei http://host/a.json."
                              << "Fehler bei [Adresse]";
        QTest::newRow("https, ends at a blank") << "https://h:8080/x?y=1 weg"
                                                << "[Adresse] weg";
        QTest::newRow("ftp in parentheses") << "(ftp://h/f.img) fehlt"
                                            << "([Adresse]) fehlt";
        QTest::newRow("several") << "http://a/1 und https://b/2"
                                 << "[Adresse] und [Adresse]";
        QTest::newRow("quotes and angles") << R"("http://a/1" 'https://b/2' <ftp://c/3>)"
                                           << R"("[Adresse]" '[Adresse]' <[Adresse]>)";
        QTest::newRow("capital schemes") << "HTTP://host/x Https://h/y fTp://h/z"
                                         << "[Adresse] [Adresse] [Adresse]";
        QTest::newRow("other scheme stays") << "file:///tmp/x.img"
                                            << "file:///tmp/x.img";
        QTest::newRow("scheme alone") << "http:// leer"
                                      << "http:// leer";
        QTest::newRow("line break ends it") << "http://a/1\nweiter"
                                            << "[Adresse]\nweiter";
        QTest::newRow("no-break space ends it")
            << QStringLiteral("http://a/1\u00A0weiter") << QStringLiteral("[Adresse]\u00A0weiter");
        QTest::newRow("no address") << "Bereit (3 Version(en) gefunden)"
                                    << "Bereit (3 Version(en) gefunden)";
    }

    void redactAddresses()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(LogView::redactAddresses(text), expected);
    }

    // The status line shows the address, the log only its replacement, after an HH:mm:ss stamp.
    void statusAndLogLine()
    {
        const auto window = makeWindow();
        window->setStatus(QStringLiteral("Lade http://host/x.img herunter …"), 42);
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(),
                 QStringLiteral("Lade http://host/x.img herunter …"));
        QCOMPARE(member<QProgressBar>(*window, "progressBar")->value(), 42);
        const QString last = member<QPlainTextEdit>(*window, "logView")->toPlainText().section('\n', -1);
        const QRegularExpression line(
            QStringLiteral("^([01]\\d|2[0-3]):[0-5]\\d:[0-5]\\d Lade \\[Adresse\\] herunter …$"));
        QVERIFY2(line.match(last).hasMatch(), qPrintable(last));
    }

    // Version titles, archive entries and server texts reach the status line and the boxes: they
    // show as written, never as markup (a big heading, a picture, a live link).
    void outsideTextIsPlain()
    {
        const QString text =
            QStringLiteral("<h1>FERTIG</h1> <img src=\"x.png\"> <a href=\"http://x\">x.img</a>");
        const auto window = makeWindow();
        window->show();
        window->setStatus(text, 0);
        auto *status = member<QLabel>(*window, "statusLabel");
        QCOMPARE(status->textFormat(), Qt::PlainText);
        QCOMPARE(status->text(), text);

        QString shown;
        Qt::TextFormat format = Qt::AutoText;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            shown = box->text();
            format = box->textFormat();
            box->accept();
        });
        Q_EMIT window->findChild<Installation *>()->finished(false, text);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(shown,
                 QStringLiteral("<h1>FERTIG</h1> <img src=\"x.png\"> <a href=\"[Adresse]\">x.img</a>"));
    }

    void hintsAndInstall_data()
    {
        QTest::addColumn<QString>("rom");  // "" none, else a file name below the scratch folder
        QTest::addColumn<bool>("ext");     // the ext.bin option ticked, its field empty
        QTest::addColumn<int>("drive");    // the card list's index
        QTest::addColumn<QString>("hint"); // object name of the hint that shows
        QTest::addColumn<QString>("text");
        QTest::newRow("no ROM") << "" << false << 1 << "romHint"
                                << "Bitte eine Kickstart-ROM-Datei wählen.";
        QTest::newRow("no ext.bin") << "kick.rom" << true << 1 << "extHint"
                                    << "Bitte eine Erweiterungs-ROM-Datei wählen.";
        QTest::newRow("no card") << "kick.rom" << false << 0 << "driveHint"
                                 << "Bitte eine Speicherkarte wählen.";
        QTest::newRow("all set") << "kick.rom" << false << 1 << ""
                                 << "";
    }

    // Install is usable only with image, ROM files and card set; what is missing shows beside it.
    void hintsAndInstall()
    {
        QFETCH(QString, rom);
        QFETCH(bool, ext);
        QFETCH(int, drive);
        QFETCH(QString, hint);
        QFETCH(QString, text);
        lsblk->answer(twoDrives);
        QFile file(scratch.filePath("kick.rom"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(262144, '\x11')) == 262144);
        file.close();
        const auto window = makeWindow();
        window->show();
        member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
        member<QLineEdit>(*window, "localImageEdit")->setText(scratch.filePath("kick.rom"));
        member<QLineEdit>(*window, "romEdit")->setText(rom.isEmpty() ? QString() : scratch.filePath(rom));
        member<QCheckBox>(*window, "useExtCheck")->setChecked(ext);
        member<QComboBox>(*window, "driveCombo")->setCurrentIndex(drive);

        QCOMPARE(member<QPushButton>(*window, "installButton")->isEnabled(), hint.isEmpty());
        for (const char *name : {"romHint", "extHint", "driveHint"}) {
            auto *label = member<QLabel>(*window, name);
            QCOMPARE(label->isVisible(), name == hint);
            if (name == hint)
                QCOMPARE(label->text(), text);
        }
        // The ROM is no card image: said beside the field when chosen, refused with the focus there.
        const QString noImage =
            QStringLiteral("„kick.rom“ ist kein Speicherkarten-Image für Tobra: Es fehlt eine "
                           "Partitionstabelle mit einer FAT-Partition, die den Ordner „Rom“ "
                           "enthält.");
        QCOMPARE(member<QLabel>(*window, "localImageHint")->text(), noImage);
        if (!hint.isEmpty())
            return;
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QString refusal;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            refusal = box->text();
            box->accept();
        });
        member<QPushButton>(*window, "installButton")->click();
        QCOMPARE(refusal, noImage);
        QCOMPARE(window->focusWidget(), member<QWidget>(*window, "localImageEdit"));
    }

    void cardSizes_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("text");
        QTest::newRow("16 MiB, too small")
            << Q_INT64_C(16777216) << "Card X (16,8 MB, zu klein) – /dev/sdx · „FOTOS“, „BOOT“";
        QTest::newRow("128 MiB, too small")
            << Q_INT64_C(134217728) << "Card X (134,2 MB, zu klein) – /dev/sdx · „FOTOS“, „BOOT“";
        QTest::newRow("16 GB") << Q_INT64_C(15931539456) << "Card X (15,9 GB) – /dev/sdx · „FOTOS“, „BOOT“";
    }

    // Sizes below a gigabyte read in MB; a card smaller than the listed image says so.
    void cardSizes()
    {
        QFETCH(qint64, size);
        QFETCH(QString, text);
        lsblk->answer(QByteArray(R"({"blockdevices": [{"name": "sdx", "path": "/dev/sdx", "size": )") +
                      QByteArray::number(size) +
                      R"(, "type": "disk", "rm": true, "vendor": "Card", "model": "X", "ro": false,
                         "mountpoints": [null], "children": [
                           {"name": "sdx1", "type": "part", "label": "FOTOS", "mountpoints": [null]},
                           {"name": "sdx2", "type": "part", "label": "BOOT", "mountpoints": [null]}]}]})");
        QTemporaryDir dir;
        QFile list(dir.filePath("tobra.json"));
        QVERIFY(list.open(QIODevice::WriteOnly));
        list.write(
            R"({"schema": 1, "versions": [{"title": "Tobra", "image": "t.img", "image_size": 1000000000}]})");
        list.close();
        MainWindow window(QUrl::fromLocalFile(list.fileName()), QUrl("https://images.example.org/"));
        auto *drives = member<QComboBox>(window, "driveCombo");
        QTRY_COMPARE(member<QComboBox>(window, "versionCombo")->count(), 1);
        QCOMPARE(itemTexts(drives), QStringList({placeholder, text}));
        drives->setCurrentIndex(1);
        const bool tooSmall = size < 1000000000;
        QCOMPARE(member<QLabel>(window, "driveHint")->text(),
                 tooSmall ? QStringLiteral("Das Image (1,0 GB) ist größer als die Speicherkarte (%1).")
                                .arg(text.section(" (", 1).section(",", 0, 1))
                          : QString());
    }

    void romDoubts_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("hint");
        const QString start = QStringLiteral("„kick.rom“ ist wohl kein Kickstart-ROM: ");
        QTest::newRow("256 KiB") << QByteArray(262144, '\x11') << "";
        QTest::newRow("2 MiB") << QByteArray(2097152, '\x11') << "";
        QTest::newRow("odd size") << QByteArray(262155, '\x11')
                                  << start +
                                         "Die Datei ist 262.155 Bytes groß; Kickstart-ROMs haben 256 KiB, "
                                         "512 KiB, 1 MiB oder 2 MiB.";
        QTest::newRow("picture") << QByteArray("\x89PNG\r\n\x1a\n") + QByteArray(262136, '\0')
                                 << start + "Die Datei ist ein Bild oder Dokument.";
        QTest::newRow("text") << QByteArray(262144, 'a') << start + "Die Datei enthält nur Text.";
    }

    // A ROM that cannot be a Kickstart is named beside its field; the warning before the question
    // can be passed.
    void romDoubts()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, hint);
        QFile file(scratch.filePath("kick.rom"));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(content) == content.size());
        file.close();
        const auto window = makeWindow();
        member<QLineEdit>(*window, "romEdit")->setText(file.fileName());
        QCOMPARE(member<QLabel>(*window, "romHint")->text(), hint);
    }

    // The chosen card keeps its size and device in view however long its name.
    void longCardNameIsElided()
    {
        lsblk->answer(QByteArray(twoDrives).replace("STORAGE DEVICE", QByteArray(60, 'M')));
        const auto window = makeWindow();
        window->resize(640, window->height());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto *drives = qobject_cast<DriveCombo *>(member<QComboBox>(*window, "driveCombo"));
        drives->setCurrentIndex(1);
        const QString shown = drives->shownText();
        QVERIFY2(shown.endsWith(" (15,9 GB) – /dev/sdx") && shown.contains(QChar(0x2026)), qPrintable(shown));
        QVERIFY(drives->fontMetrics().horizontalAdvance(shown) < drives->width());
    }

    // A hint longer than its field wraps and shows whole, on as many lines as the width needs.
    void longHintWraps()
    {
        const auto window = makeWindow();
        window->resize(640, window->height());
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto *hint = member<QLabel>(*window, "versionHint");
        QTRY_VERIFY(hint->isVisible());
        QCOMPARE(hint->text(),
                 QStringLiteral("Keine Version verfügbar: Bitte „Neu laden“ klicken oder eine lokale "
                                "Image-Datei verwenden."));
        const QFontMetrics metrics = hint->fontMetrics();
        QVERIFY(metrics.horizontalAdvance(hint->text()) > hint->width());
        const QRect needed =
            metrics.boundingRect(QRect(0, 0, hint->width(), 10000), Qt::TextWordWrap, hint->text());
        QTRY_VERIFY2(hint->height() >= needed.height(),
                     qPrintable(QString("%1 < %2").arg(hint->height()).arg(needed.height())));
        QVERIFY(needed.height() >= 2 * metrics.lineSpacing());
    }

    void logKeepsTheLast500Lines()
    {
        const auto window = makeWindow();
        auto *log = member<QPlainTextEdit>(*window, "logView");
        for (int i = 1; i <= 600; ++i)
            member<LogView>(*window, "logView")->appendLine(QStringLiteral("Zeile %1").arg(i));
        QCOMPARE(log->blockCount(), 500);
        QCOMPARE(logLines(*window).first(), QStringLiteral("Zeile 101"));
        QCOMPARE(logLines(*window).last(), QStringLiteral("Zeile 600"));
    }

    void progressBar_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<int>("expected");
        QTest::addColumn<QString>("status");
        const QString writing = QStringLiteral("Schreibe auf die Karte … ");
        QTest::newRow("one third") << qint64(1) << qint64(3) << 33 << writing + "0,0 von 0,0 MB";
        QTest::newRow("above 2^31 bytes")
            << Q_INT64_C(31914983424) << Q_INT64_C(31914983425) << 99 << writing + "31.915 von 31.915 MB";
        QTest::newRow("complete") << qint64(500) << qint64(500) << 100 << writing + "0,0 von 0,0 MB";
        QTest::newRow("unknown total") << qint64(7000000) << qint64(-1) << 0 << writing + "7,0 MB";
        QTest::newRow("zero total") << qint64(0) << qint64(0) << 0 << writing + "0,0 MB";
    }

    // Driven through the signals of the window's installation: the status line shows the sizes,
    // the bar the percentage and which of the steps runs.
    void progressBar()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(int, expected);
        QFETCH(QString, status);
        const auto window = makeWindow();
        member<QCheckBox>(*window, "countCheck")->setChecked(false);
        auto *installation = window->findChild<Installation *>();
        Q_EMIT installation->stepChanged(Installation::Step::Fetching,
                                         QStringLiteral("Schreibe auf die Karte …"));
        Q_EMIT installation->progress(done, total);
        auto *bar = member<QProgressBar>(*window, "progressBar");
        QCOMPARE(bar->value(), expected);
        QCOMPARE(bar->format(), QStringLiteral("Schritt 2 von 3 · %p %"));
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(), status);
        // Which side sets the pace changes the text, not the figures.
        Q_EMIT installation->activityChanged(
            QStringLiteral("Schreibe auf die Karte … Die Karte bestimmt das Tempo."));
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(),
                 QString(status).replace("… ", "… Die Karte bestimmt das Tempo. "));
    }

    void fileChoice_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("filters");
        QTest::addColumn<QString>("longName"); // a file that suits the field
        const QString longRom = "kickstart-3.1-a1200-40.068-aus-dem-nachlass-zweite-sicherung.rom";
        const QStringList romFilters = {"ROM-Dateien (*.rom *.bin)", "Alle Dateien (*)"};
        const QStringList imageFilters = {"Images (*.img *.img.xz *.img.zst *.img.gz *.img.bz2 *.zip)",
                                          "Alle Dateien (*)"};
        QTest::newRow("rom") << "romButton"
                             << "romEdit"
                             << "ROM-Datei wählen" << romFilters << longRom;
        QTest::newRow("ext") << "extButton"
                             << "extEdit"
                             << "Erweiterungs-ROM wählen" << romFilters << longRom;
        QTest::newRow("image") << "localImageButton"
                               << "localImageEdit"
                               << "Image-Datei wählen" << imageFilters
                               << "tobra-3.2.1-2026-11-01-raspberrypi4-400-zweite-auflage.img";
    }

    // The dialog starts at the field's file and shows long names whole; a chosen file replaces the
    // text, a cancel keeps it.
    void fileChoice()
    {
        QFETCH(QString, button);
        QFETCH(QString, field);
        QFETCH(QString, title);
        QFETCH(QStringList, filters);
        QFETCH(QString, longName);
        // Qt's dialog keeps its column widths from the last time: each row opens it for the first.
        QSettings(QSettings::UserScope, QStringLiteral("QtProject")).remove(QStringLiteral("FileDialog"));
        QTemporaryDir dir;
        const QString first = dir.filePath("first.img"), second = dir.filePath(longName);
        for (const QString &path : {first, second}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const auto window = makeWindow();
        window->show();
        member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
        member<QCheckBox>(*window, "useExtCheck")->setChecked(true);
        auto *edit = member<QLineEdit>(*window, qPrintable(field));
        edit->setText(first);

        QStringList seen;
        onNextDialog<QFileDialog>(
            [&](QFileDialog *dialog) {
                seen << dialog->windowTitle() << dialog->nameFilters() << dialog->selectedFiles()
                     << (showsWholeName(dialog, longName) ? "whole names" : "names cut");
                // As a user would: the name typed into the focused name field.
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(second);
                static_cast<QDialog *>(dialog)->accept(); // QFileDialog hides it
            },
            [&](QFileDialog *dialog) { return hasListedFolder(dialog) && showsWholeName(dialog, longName); });
        member<QPushButton>(*window, qPrintable(button))->click();
        QCOMPARE(seen, QStringList() << title << filters << first << "whole names");
        QCOMPARE(edit->text(), second);

        onNextDialog<QFileDialog>([](QFileDialog *dialog) { dialog->reject(); });
        member<QPushButton>(*window, qPrintable(button))->click();
        QCOMPARE(edit->text(), second);
    }

    // With its field empty, a dialog starts in the folder a file of its kind was last taken from.
    void fileDialogRemembersItsFolder()
    {
        QTemporaryDir dir;
        const QString rom = dir.filePath("kick.rom");
        QFile file(rom);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        const auto window = makeWindow();
        window->show();
        member<QCheckBox>(*window, "useExtCheck")->setChecked(true);

        onNextDialog<QFileDialog>([&](QFileDialog *dialog) {
            dialog->selectFile(rom);
            static_cast<QDialog *>(dialog)->accept();
        });
        member<QPushButton>(*window, "romButton")->click();
        QCOMPARE(member<QLineEdit>(*window, "romEdit")->text(), rom);

        QString startedIn;
        onNextDialog<QFileDialog>([&](QFileDialog *dialog) {
            startedIn = dialog->directory().absolutePath();
            dialog->reject();
        });
        member<QPushButton>(*window, "extButton")->click();
        QCOMPARE(startedIn, QDir(dir.path()).absolutePath());
        QCOMPARE(QSettings().value("romFolder").toString(), QDir(dir.path()).absolutePath());
    }

    void accessibleNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("spoken");
        QTest::newRow("versionCombo") << "versionCombo"
                                      << "Version:";
        QTest::newRow("localImageEdit") << "localImageEdit"
                                        << "Lokale Image-Datei";
        QTest::newRow("localImageButton") << "localImageButton"
                                          << "Lokale Image-Datei auswählen";
        QTest::newRow("romEdit") << "romEdit"
                                 << "Kickstart-ROM-Datei";
        QTest::newRow("romButton") << "romButton"
                                   << "Kickstart-ROM-Datei auswählen";
        QTest::newRow("extEdit") << "extEdit"
                                 << "Erweiterungs-ROM-Datei";
        QTest::newRow("extButton") << "extButton"
                                   << "Erweiterungs-ROM-Datei auswählen";
        QTest::newRow("driveCombo") << "driveCombo"
                                    << "Speicherkarte:";
        QTest::newRow("refreshButton") << "refreshButton"
                                       << "Speicherkarten neu suchen";
        QTest::newRow("progressBar") << "progressBar"
                                     << "Fortschritt";
        QTest::newRow("logView") << "logView"
                                 << "Protokoll";
        QTest::newRow("copyLogButton") << "copyLogButton"
                                       << "Protokoll in die Zwischenablage kopieren";
        QTest::newRow("clearCacheButton") << "clearCacheButton"
                                          << "Image-Cache leeren";
        QTest::newRow("installButton") << "installButton"
                                       << "Installieren";
        QTest::newRow("useExtCheck") << "useExtCheck"
                                     << "Zusätzlich eine ext.bin verwenden (z. B. bei AROS)";
    }

    // What a screen reader says for each control, as Qt's accessibility layer hands it on: its
    // name or, for a list (whose name on Linux is its current item), the label it is labelled by.
    void accessibleNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, spoken);
        const auto window = makeWindow();
        window->show();
        QAccessibleInterface *control =
            QAccessible::queryAccessibleInterface(member<QWidget>(*window, qPrintable(name)));
        QVERIFY(control);
        QStringList said = {control->text(QAccessible::Name)};
        for (const auto &relation : control->relations(QAccessible::Label))
            said << relation.first->text(QAccessible::Name);
        QVERIFY2(said.contains(spoken), qPrintable(said.join(" | ")));
    }

    void mnemonics_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("focused");
        QTest::newRow("Alt+V") << int(Qt::Key_V) << "versionCombo";
        QTest::newRow("Alt+E") << int(Qt::Key_E) << "useExtCheck";
        QTest::newRow("Alt+M") << int(Qt::Key_M) << "localImageEdit";
        QTest::newRow("Alt+K") << int(Qt::Key_K) << "romEdit";
        QTest::newRow("Alt+R") << int(Qt::Key_R) << "extEdit";
        QTest::newRow("Alt+S") << int(Qt::Key_S) << "driveCombo";
        QTest::newRow("Alt+L") << int(Qt::Key_L) << "localImageCheck";
    }

    // Each label's mnemonic takes the keyboard to its field.
    void mnemonics()
    {
        QFETCH(int, key);
        QFETCH(QString, focused);
        lsblk->answer(twoDrives);
        const auto window = makeWindow();
        // Each field is enabled only with its option on; the version list only without a local image.
        member<QCheckBox>(*window, "localImageCheck")->setChecked(focused == "localImageEdit");
        member<QCheckBox>(*window, "useExtCheck")->setChecked(true);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        member<QPushButton>(*window, "installButton")->setFocus();
        QTest::keyClick(window.get(), Qt::Key(key), Qt::AltModifier);
        QTRY_COMPARE(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString(),
                     focused);
    }

    void enterStartsTheInstallation_data()
    {
        QTest::addColumn<QString>("focused");
        QTest::addColumn<bool>("installs");
        QTest::newRow("in a field") << "romEdit" << true;
        QTest::newRow("on the card list") << "driveCombo" << true;
        QTest::newRow("on a check box") << "countCheck" << true;
        QTest::newRow("on the default button") << "installButton" << true;
        QTest::newRow("on another button clicks that one") << "copyLogButton" << false;
    }

    void enterStartsTheInstallation()
    {
        QFETCH(QString, focused);
        QFETCH(bool, installs);
        lsblk->answer(twoDrives);
        const auto window = makeWindow();
        // Everything is set, so Install is usable; the missing image file then refuses the start.
        member<QCheckBox>(*window, "localImageCheck")->setChecked(true);
        member<QLineEdit>(*window, "localImageEdit")->setText(scratch.filePath("missing.img"));
        member<QLineEdit>(*window, "romEdit")->setText(scratch.filePath("kick.rom"));
        member<QComboBox>(*window, "driveCombo")->setCurrentIndex(1);
        window->show();
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QWidget *widget = member<QWidget>(*window, qPrintable(focused));
        widget->setFocus();
        QTRY_VERIFY(widget->hasFocus());
        QSignalSpy install(member<QPushButton>(*window, "installButton"), &QPushButton::clicked);
        QSignalSpy copy(member<QPushButton>(*window, "copyLogButton"), &QPushButton::clicked);
        if (installs)
            onNextDialog<QMessageBox>([](QMessageBox *box) { box->accept(); });
        QTest::keyClick(widget, Qt::Key_Return);
        QCOMPARE(install.count(), installs ? 1 : 0);
        QCOMPARE(copy.count(), installs ? 0 : 1);
    }

    void drops_data()
    {
        QTest::addColumn<QString>("onto");
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("check");
        QTest::newRow("rom onto its field") << "romEdit"
                                            << "kick.rom"
                                            << "romEdit"
                                            << "";
        QTest::newRow("any file onto the ext field") << "extEdit"
                                                     << "aros-ext.dat"
                                                     << "extEdit"
                                                     << "useExtCheck";
        QTest::newRow("onto the choose button beside a field") << "extButton"
                                                               << "ext.bin"
                                                               << "extEdit"
                                                               << "useExtCheck";
        QTest::newRow("image onto its field") << "localImageEdit"
                                              << "tobra.img"
                                              << "localImageEdit"
                                              << "localImageCheck";
        QTest::newRow("image onto the log") << "logView"
                                            << "Tobra.IMG.xz"
                                            << "localImageEdit"
                                            << "localImageCheck";
        QTest::newRow("rom onto the log") << "logView"
                                          << "kick31.bin"
                                          << "romEdit"
                                          << "";
        QTest::newRow("unknown kind onto the log") << "logView"
                                                   << "notes.txt"
                                                   << ""
                                                   << "";
    }

    // A file dropped onto a field lands there; dropped elsewhere, its name decides.
    void drops()
    {
        QFETCH(QString, onto);
        QFETCH(QString, file);
        QFETCH(QString, field);
        QFETCH(QString, check);
        const auto window = makeWindow();
        window->show();
        const QString path = scratch.filePath(file);
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(path)});
        QWidget *target = member<QWidget>(*window, qPrintable(onto));
        const QPointF at = target->mapTo(window.get(), target->rect().center());
        QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &drop);

        QCOMPARE(drop.isAccepted(), !field.isEmpty());
        for (const char *name : {"romEdit", "extEdit", "localImageEdit"})
            QCOMPARE(member<QLineEdit>(*window, name)->text(), name == field ? path : QString());
        for (const char *name : {"useExtCheck", "localImageCheck"})
            QCOMPARE(member<QCheckBox>(*window, name)->isChecked(), name == check);
    }

    void noDropsWhileBusy()
    {
        const auto window = makeWindow();
        window->setBusy(true);
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(scratch.filePath("kick.rom"))});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(window.get(), &enter);
        QVERIFY(!enter.isAccepted());
        window->setBusy(false);
    }

    // The clipboard gets the log as shown: a pasted log keeps the addresses hidden.
    void copyLogCopiesWhatIsShown()
    {
        const auto window = makeWindow();
        member<LogView>(*window, "logView")->appendLine(QStringLiteral("Lade HTTPS://host/x.img herunter …"));
        member<QPushButton>(*window, "copyLogButton")->click();
        const QStringList copied = QGuiApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(copied.size(), logLines(*window).size());
        QVERIFY2(copied.last().endsWith(" Lade [Adresse] herunter …"), qPrintable(copied.last()));
        QVERIFY(!QGuiApplication::clipboard()->text().contains("host"));
        QCOMPARE(QToolTip::text(), QStringLiteral("Das Protokoll ist in der Zwischenablage."));
    }

    void clearCache_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }

    // The button offers the cache once a run has filled it and empties it only after a Yes.
    void clearCache()
    {
        QFETCH(bool, confirm);
        const auto window = makeWindow();
        window->show();
        auto *button = member<QPushButton>(*window, "clearCacheButton");
        QVERIFY(!button->isEnabled());

        const QString cache = Installation::imageCache();
        QVERIFY(QDir().mkpath(cache));
        QFile image(cache + "/" + QString(64, 'a'));
        QVERIFY(image.open(QIODevice::WriteOnly) && image.resize(Q_INT64_C(1900000000))); // sparse
        image.close();
        window->setBusy(true);
        QVERIFY(!button->isEnabled());
        window->setBusy(false);
        QVERIFY(button->isEnabled());
        QCOMPARE(button->toolTip(), QStringLiteral("Zwischengespeichertes Image in „%1“ löschen (1,9 GB)")
                                        .arg(QDir::toNativeSeparators(cache)));

        QString question;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            question = box->text();
            box->button(confirm ? QMessageBox::Yes : QMessageBox::No)->click();
        });
        button->click();
        QCOMPARE(question, QStringLiteral("Das zwischengespeicherte Image (1,9 GB) löschen? Eine spätere "
                                          "Installation lädt es dann neu herunter."));
        QCOMPARE(image.exists(), !confirm);
        QCOMPARE(button->isEnabled(), !confirm);
        QCOMPARE(logLines(*window).contains(QStringLiteral("Cache geleert: 1,9 GB freigegeben.")), confirm);
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
