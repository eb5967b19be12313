// SPDX-License-Identifier: GPL-3.0-or-later
// Several cards through the window: chosen in their own list (which follows cards plugged in and
// pulled while it is open), named in the box and in the question, and written in one run with a
// row for each. Real loop devices shown as removable cards, the demonstration set from the local
// HTTP server, the write helper (this executable with "--write-helper").
#include "cardchoicedialog.h"
#include "drivecombo.h"
#include "faultydisk.h"
#include "installsuite.h"
#include "mainwindow.h"
#include "removablelsblk.h"
#include "testfiles.h"
#include "windowfixture.h"
#include "writehelper.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <memory>
#include <vector>

namespace {

const QString verifiedText = QStringLiteral("geschrieben und geprüft");

QListWidget *cardListOf(CardChoiceDialog *dialog)
{
    return dialog->findChild<QListWidget *>(QStringLiteral("cardList"));
}

// Ticks or unticks the row as a keyboard user does: moves there and presses the space bar.
void toggleRow(QListWidget *list, int row)
{
    list->setFocus();
    list->setCurrentRow(row);
    QTest::keyClick(list, Qt::Key_Space);
}

// Ticks or unticks the card's row; each row ends with its card's device.
void toggleCard(CardChoiceDialog *dialog, const QString &path)
{
    QListWidget *list = cardListOf(dialog);
    for (int row = 0; row < list->count(); ++row)
        if (list->item(row)->text().endsWith(" – " + path))
            return toggleRow(list, row);
    QFAIL(qPrintable("not listed: " + path));
}

// The cards listed and those ticked, the latter marked with a "+".
QStringList shownTicks(CardChoiceDialog *dialog)
{
    QStringList shown;
    QListWidget *list = cardListOf(dialog);
    for (int row = 0; row < list->count(); ++row)
        shown << (list->item(row)->checkState() == Qt::Checked ? "+" : "") +
                     list->item(row)->text().section(" – ", -1);
    shown.sort();
    return shown;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

void accept(CardChoiceDialog *dialog)
{
    dialog->findChild<QDialogButtonBox *>(QStringLiteral("buttonBox"))->button(QDialogButtonBox::Ok)->click();
}

} // namespace

class TestSeveralCards : public QObject, private InstallFixture
{
    Q_OBJECT

private:
    std::unique_ptr<FaultyDisk> faultyDisk; // before the cards, which are detached first
    std::vector<std::unique_ptr<LoopDevice>> cards;

    QStringList cardPaths() const
    {
        QStringList paths;
        for (const auto &card : cards)
            paths << card->path();
        return paths;
    }

    // Attaches count more empty cards; every attached card is shown as removable.
    bool plugCards(int count, qint64 size = cardBytes)
    {
        for (int i = 0; i < count; ++i) {
            auto card = attachCard(size, QStringLiteral("card%1.img").arg(cards.size()));
            if (!card || !card->isAttached())
                return false;
            cards.push_back(std::move(card));
        }
        showAsRemovable(cardPaths());
        return true;
    }

    void pullCard(int index)
    {
        cards.erase(cards.begin() + index);
        showAsRemovable(cardPaths());
    }

    // The window on the demonstration list with the ROM filled in, once the cards are listed.
    std::unique_ptr<MainWindow> openWindow()
    {
        auto window =
            std::make_unique<MainWindow>(server->url("/demo/tobra.json"), server->url("/demo/images/"));
        window->show();
        auto *versions = member<QComboBox>(*window, "versionCombo");
        if (!QTest::qWaitFor([&] { return versions->count() > 0; }, 15000))
            qWarning("version list not loaded");
        member<QLineEdit>(*window, "romEdit")->setText(romPath);
        auto *drives = member<QComboBox>(*window, "driveCombo");
        if (!QTest::qWaitFor(
                [&] { return cardPaths().size() == 0 || drives->findData(cardPaths().last()) >= 0; }, 5000))
            qWarning("cards not listed");
        return window;
    }

    // Opens the list of several cards from the keyboard (its entry is the box's last) and hands
    // it to handle once it lists the cards attached.
    void chooseSeveral(MainWindow &window, std::function<void(CardChoiceDialog *)> handle)
    {
        bool handled = false;
        onNextDialog<CardChoiceDialog>([&](CardChoiceDialog *dialog) {
            handle(dialog);
            handled = true;
        });
        auto *drives = member<QComboBox>(window, "driveCombo");
        drives->setFocus();
        QTest::keyClick(drives, Qt::Key_End);
        QTRY_VERIFY(handled);
        QTRY_VERIFY(!QApplication::activeModalWidget());
    }

    // Ticks every attached card in the list and takes them.
    void chooseAll(MainWindow &window)
    {
        chooseSeveral(window, [](CardChoiceDialog *dialog) {
            QListWidget *list = cardListOf(dialog);
            for (int row = 0; row < list->count(); ++row)
                toggleRow(list, row);
            accept(dialog);
        });
    }

    // What a run onto every attached card showed: its rows while it ran, and the box at its end.
    struct RunEnd
    {
        bool rowsShown = false;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QString text; // empty if no box came
    };

    // Chooses every attached card, says yes to the question and waits for the end of the run.
    RunEnd installOntoAll(MainWindow &window)
    {
        chooseAll(window);
        onNextDialog<QMessageBox>([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
        member<QPushButton>(window, "installButton")->click();
        auto end = std::make_shared<RunEnd>(); // the box may come after a failed wait
        end->rowsShown =
            QTest::qWaitFor([&] { return member<QWidget>(window, "cardRows")->isVisible(); }, 5000);
        if (!end->rowsShown)
            return *end;
        onNextDialog<QMessageBox>([end](QMessageBox *box) {
            end->icon = box->icon();
            end->text = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        if (!QTest::qWaitFor([&] { return !end->text.isEmpty(); }, 120000))
            qWarning("no box at the end of the run");
        return *end;
    }

    // The box names the cards briefly by their devices, in the order listed.
    static QString boxText(MainWindow &window, const QStringList &paths)
    {
        return boxText(listedOrder(window, paths));
    }

    static QStringList listedOrder(MainWindow &window, const QStringList &paths)
    {
        QStringList listed;
        for (const DriveInfo &drive : member<DriveCombo>(window, "driveCombo")->listed())
            if (paths.contains(drive.path))
                listed << drive.path;
        return listed;
    }

    static QString boxText(const QStringList &paths)
    {
        return QStringLiteral("%1 Karten (%2)")
            .arg(paths.size())
            .arg(QStringList(paths).replaceInStrings("/dev/", "").join(", "));
    }

    static QStringList labelsOf(MainWindow &window, const QStringList &paths)
    {
        auto *drives = member<QComboBox>(window, "driveCombo");
        QStringList labels;
        for (const QString &path : paths)
            labels << drives->itemText(drives->findData(path));
        return labels;
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("loop devices need root");
        const QString missing = missingForDemo();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        QVERIFY(setUpDemo());
    }

    void init() { QVERIFY(setUpTest()); }
    void cleanup()
    {
        cards.clear();
        faultyDisk.reset();
        tearDownTest();
    }

    // Three cards ticked in the list become the choice the box names; opened again, the list
    // shows them ticked, and fewer ticked narrow the choice.
    void choosesSeveralCards()
    {
        if (!plugCards(3))
            QSKIP("no loop devices to attach");
        const auto window = openWindow();
        auto *drives = member<DriveCombo>(*window, "driveCombo");
        const QStringList paths = cardPaths();
        chooseAll(*window);
        QCOMPARE(drives->currentText(), boxText(*window, paths));
        window->resize(800, window->height());
        QTRY_COMPARE(drives->shownText(), boxText(*window, paths));
        QVERIFY(member<QPushButton>(*window, "installButton")->isEnabled());

        QStringList shown;
        chooseSeveral(*window, [&](CardChoiceDialog *dialog) {
            shown = shownTicks(dialog);
            toggleCard(dialog, paths.at(1));
            accept(dialog);
        });
        QCOMPARE(shown, sorted(QStringList(paths).replaceInStrings(QRegularExpression("^"), "+")));
        QCOMPARE(drives->currentText(), boxText(*window, {paths.at(0), paths.at(2)}));

        chooseSeveral(*window, [&](CardChoiceDialog *dialog) {
            toggleCard(dialog, paths.at(0));
            accept(dialog);
        });
        QCOMPARE(drives->currentData().toString(), paths.at(2));
    }

    // A card too small for the image is marked in the list and in the box, and the request is
    // refused before the question, naming the card.
    void tooSmallCardIsMarked()
    {
        if (!plugCards(2) || !plugCards(1, 16 << 20))
            QSKIP("no loop devices to attach");
        const QString small = cardPaths().last();
        const auto window = openWindow();
        QString row;
        chooseSeveral(*window, [&](CardChoiceDialog *dialog) {
            QListWidget *list = cardListOf(dialog);
            for (int line = 0; line < list->count(); ++line) {
                if (list->item(line)->text().endsWith(" – " + small))
                    row = list->item(line)->text() + " | " + list->item(line)->toolTip();
                toggleRow(list, line);
            }
            accept(dialog);
        });
        QVERIFY2(
            QRegularExpression("^.+ \\(16,8 MB, zu klein\\) – " + small +
                               " \\| Das Image \\(.+\\) ist größer als die Speicherkarte \\(16,8 MB\\)\\.$")
                .match(row)
                .hasMatch(),
            qPrintable(row));
        const QString shortName = small.section('/', -1);
        QVERIFY2(member<QComboBox>(*window, "driveCombo")->currentText().contains(shortName + " zu klein"),
                 qPrintable(member<QComboBox>(*window, "driveCombo")->currentText()));

        QString refusal;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            refusal = box->text();
            box->button(QMessageBox::Ok)->click();
        });
        member<QPushButton>(*window, "installButton")->click();
        QTRY_VERIFY(!refusal.isEmpty());
        QVERIFY2(refusal.startsWith(small + ": Das Image ("), qPrintable(refusal));
        QCOMPARE(window->focusWidget(), member<QWidget>(*window, "driveCombo"));
    }

    // Cards plugged in and pulled while the list is open show up there at once; the ticks stay
    // with their cards. Cancelling keeps the choice made before.
    void listFollowsHotPlug()
    {
        if (!plugCards(2))
            QSKIP("no loop devices to attach");
        const auto window = openWindow();
        auto *drives = member<QComboBox>(*window, "driveCombo");
        const QString first = cardPaths().at(0);
        const QString second = cardPaths().at(1);
        drives->setCurrentIndex(drives->findData(second));

        QList<QStringList> seen;
        QString third;
        chooseSeveral(*window, [&](CardChoiceDialog *dialog) {
            QListWidget *list = cardListOf(dialog);
            seen << shownTicks(dialog);
            toggleCard(dialog, first);
            QVERIFY(plugCards(1));
            third = cardPaths().at(2);
            QTRY_COMPARE_WITH_TIMEOUT(list->count(), 3, 5000);
            seen << shownTicks(dialog);
            pullCard(1);
            QTRY_COMPARE_WITH_TIMEOUT(list->count(), 2, 5000);
            seen << shownTicks(dialog);
            toggleCard(dialog, third);
            accept(dialog);
        });
        QCOMPARE(seen, (QList<QStringList>{sorted({first, "+" + second}),
                                           sorted({"+" + first, "+" + second, third}),
                                           sorted({"+" + first, third})}));
        QCOMPARE(drives->currentText(), boxText(*window, {first, third}));

        chooseSeveral(*window, [&](CardChoiceDialog *dialog) {
            toggleCard(dialog, first);
            dialog->reject();
        });
        QCOMPARE(drives->currentText(), boxText(*window, {first, third}));
    }

    // The question names the version once and every card with its label, size and device.
    void questionNamesEveryCard()
    {
        if (!plugCards(3))
            QSKIP("no loop devices to attach");
        const auto window = openWindow();
        chooseAll(*window);
        QString question;
        QStringList buttons;
        onNextDialog<QMessageBox>([&](QMessageBox *box) {
            question = box->text();
            for (QAbstractButton *button : box->buttons())
                buttons << button->text();
            box->button(QMessageBox::No)->click();
        });
        member<QPushButton>(*window, "installButton")->click();
        QTRY_VERIFY(!question.isEmpty());
        const QStringList labels = labelsOf(*window, listedOrder(*window, cardPaths()));
        QCOMPARE(question,
                 QStringLiteral("Installieren: Tobra Demo\n\nAlle Daten auf diesen 3 Laufwerken werden "
                                "unwiderruflich gelöscht:\n\n• %1\n• %2\n• %3\n\nFortfahren?")
                     .arg(labels.at(0), labels.at(1), labels.at(2)));
        buttons.sort();
        QCOMPARE(buttons, (QStringList{"&Nicht installieren", "Karten &löschen und installieren"}));
        QVERIFY(!member<QWidget>(*window, "cardRows")->isVisible());
    }

    // One run writes all three cards: a row each ends verified, the status counts them, the box
    // sums up, and each card holds the image with the ROM put in.
    void writesThreeCards()
    {
        if (!plugCards(3))
            QSKIP("no loop devices to attach");
        const auto window = openWindow();
        const RunEnd end = installOntoAll(*window);
        QVERIFY(end.rowsShown);
        QVERIFY(!end.text.isEmpty());
        const QString &summary = end.text;

        QStringList states;
        for (QLabel *label : window->findChildren<QLabel *>("stateLabel"))
            states << label->text();
        QCOMPARE(states, QStringList(3, verifiedText));
        for (QProgressBar *bar : window->findChildren<QProgressBar *>("cardBar"))
            QCOMPARE(bar->value(), bar->maximum());
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(),
                 QStringLiteral("Fertig: 3 von 3 Karten geschrieben und geprüft"));
        for (const QString &label : labelsOf(*window, cardPaths()))
            QVERIFY2(summary.contains(label), qPrintable(summary));
        QVERIFY(logLines(*window).join('\n').contains(summary));
        const QByteArray image = readFile(demoPath());
        for (const QString &path : cardPaths()) {
            QCOMPARE(readRange(path, 0, partitionOffset), image.left(partitionOffset));
            QCOMPARE(cardFile(path, "Rom/rom.bin", dir->filePath("rom.bin")), readFile(romPath));
        }
    }

    // A card failing with EIO on the way stops on its own: its row and the summary say why, the
    // others are written and verified, and the status counts them.
    void oneOfThreeFails()
    {
        FaultyDisk::Options options;
        options.size = cardBytes;
        options.failAfter = 8 << 20;
        faultyDisk = std::make_unique<FaultyDisk>(dir->path(), options);
        if (!faultyDisk->isRunning())
            QSKIP(qPrintable(faultyDisk->error()));
        cards.push_back(std::make_unique<LoopDevice>(faultyDisk->file()));
        if (!cards.back()->isAttached() || !plugCards(2))
            QSKIP("no loop devices to attach");
        const QString failing = cardPaths().first();
        const auto window = openWindow();
        const RunEnd end = installOntoAll(*window);
        QVERIFY(end.rowsShown);
        QVERIFY(!end.text.isEmpty());
        QCOMPARE(end.icon, QMessageBox::Critical);
        const QString &summary = end.text;

        const QStringList order = listedOrder(*window, cardPaths());
        const QList<QLabel *> states = window->findChildren<QLabel *>("stateLabel");
        QCOMPARE(states.size(), 3);
        for (int row = 0; row < 3; ++row) {
            const QString state = states.at(row)->text();
            if (order.at(row) == failing)
                QVERIFY2(state.startsWith("Fehler: ") && state.length() > 20, qPrintable(state));
            else
                QCOMPARE(state, verifiedText);
        }
        QCOMPARE(member<QLabel>(*window, "statusLabel")->text(),
                 QStringLiteral("Fehlgeschlagen: 2 von 3 Karten geschrieben und geprüft"));
        QVERIFY2(summary.contains(labelsOf(*window, {failing}).first()), qPrintable(summary));
        QCOMPARE(readRange(failing, 0, partitionOffset), QByteArray(partitionOffset, '\0'));
    }
};

int main(int argc, char **argv)
{
    // The window starts this executable as its write helper, as the program does.
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    QApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
    TestSeveralCards test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_severalcards.moc"
