// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the window's pictures of a run onto every offered card, for docs/make-screenshot.sh: one
// while the cards are written, one after the end. Drives the window as a user would, with the
// Workbench look, and plays the write helper itself as the program does.
//   screenshot_cards LIST_URL IMAGE_BASE_URL ROM_FILE DURING.png AFTER.png
#include "drivecombo.h"
#include "mainwindow.h"
#include "theme.h"
#include "windowfixture.h"
#include "writehelper.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <cstdio>

namespace {

constexpr int waitMs = 120000;

bool fail(const char *what)
{
    std::fprintf(stderr, "screenshot_cards: %s\n", what);
    return false;
}

bool allRowsShow(MainWindow &window, const QString &text)
{
    const QList<QLabel *> states = window.findChildren<QLabel *>(QStringLiteral("stateLabel"));
    return !states.isEmpty() && std::all_of(states.cbegin(), states.cend(),
                                            [&](QLabel *label) { return label->text().contains(text); });
}

bool takePictures(MainWindow &window, const QString &rom, const QString &during, const QString &after)
{
    auto *drives = member<DriveCombo>(window, "driveCombo");
    if (!QTest::qWaitFor([&] { return member<QComboBox>(window, "versionCombo")->count() > 0; }, waitMs))
        return fail("no version list");
    member<QLineEdit>(window, "romEdit")->setText(rom);
    member<QLineEdit>(window, "romEdit")->setCursorPosition(0);
    QStringList paths;
    for (const DriveInfo &drive : drives->listed())
        paths << drive.path;
    if (paths.size() < 2)
        return fail("fewer than two cards offered");
    drives->chooseCards(paths);

    QString summary;
    onNextDialog<QMessageBox>([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    member<QPushButton>(window, "installButton")->click();
    auto *bar = member<QProgressBar>(window, "progressBar");
    if (!QTest::qWaitFor([&] { return allRowsShow(window, QStringLiteral("MB/s")) && bar->value() >= 40; },
                         waitMs))
        return fail("the cards were not written");
    window.grab().save(during);
    onNextDialog<QMessageBox>([&](QMessageBox *box) {
        summary = box->text();
        box->button(QMessageBox::Ok)->click();
    });
    if (!QTest::qWaitFor([&] { return !summary.isEmpty(); }, waitMs))
        return fail("the run did not end");
    QTest::qWait(200);
    window.grab().save(after);
    std::printf("%s\n", qPrintable(summary));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    if (argc != 6)
        return 2;
    QApplication application(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    applyWorkbenchTheme(application);
    MainWindow window(QUrl(QString::fromLocal8Bit(argv[1])), QUrl(QString::fromLocal8Bit(argv[2])));
    // As the program opens it: 640 × 640, taller where the content asks, within the screen.
    const QSize available = window.screen()->availableGeometry().size();
    window.resize(QSize(640, qMax(640, window.sizeHint().height())).boundedTo(available));
    window.show();
    return takePictures(window, QString::fromLocal8Bit(argv[3]), QString::fromLocal8Bit(argv[4]),
                        QString::fromLocal8Bit(argv[5]))
               ? 0
               : 1;
}
