// SPDX-License-Identifier: GPL-3.0-or-later
#include "mainwindow.h"

#include "cardrows.h"
#include "drivepicker.h"
#include "filefield.h"
#include "hintlabel.h"
#include "logview.h"
#include "messages.h"
#include "namedwidgets.h"
#include "stopsignals.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace {

const FileKind imageKind = {QStringLiteral("Lokale Image-Datei"),
                            QString(),
                            QStringLiteral("Image-Datei wählen"),
                            QStringLiteral("Images"),
                            {QStringLiteral("*.img"), QStringLiteral("*.img.xz"), QStringLiteral("*.img.zst"),
                             QStringLiteral("*.img.gz"), QStringLiteral("*.img.bz2"),
                             QStringLiteral("*.zip")},
                            QStringLiteral("imageFolder"),
                            QStandardPaths::writableLocation(QStandardPaths::DownloadLocation)};
const FileKind romKind = {QStringLiteral("Kickstart-ROM-Datei"),
                          QStringLiteral("ROM-Datei (wird als Rom/rom.bin kopiert)"),
                          QStringLiteral("ROM-Datei wählen"),
                          QStringLiteral("ROM-Dateien"),
                          {QStringLiteral("*.rom"), QStringLiteral("*.bin")},
                          QStringLiteral("romFolder"),
                          QDir::homePath()};
const FileKind extKind = {QStringLiteral("Erweiterungs-ROM-Datei"),
                          QStringLiteral("Erweiterungs-ROM (wird als Rom/ext.bin kopiert)"),
                          QStringLiteral("Erweiterungs-ROM wählen"),
                          QStringLiteral("ROM-Dateien"),
                          {QStringLiteral("*.rom"), QStringLiteral("*.bin")},
                          QStringLiteral("romFolder"),
                          QDir::homePath()};

// Gives the label columns of the grids one width, so that the fields line up; a file field's grid
// has its label in column 0 as well.
void alignLabelColumns(const QList<QWidget *> &groups)
{
    QList<QGridLayout *> grids;
    for (QWidget *group : groups) {
        grids << qobject_cast<QGridLayout *>(group->layout());
        for (FileField *field : group->findChildren<FileField *>())
            grids << qobject_cast<QGridLayout *>(field->layout());
    }
    int width = 0;
    for (const QGridLayout *grid : grids)
        for (int row = 0; row < grid->rowCount(); ++row) {
            const QLayoutItem *item = grid->itemAtPosition(row, 0);
            if (const auto *label = qobject_cast<const QLabel *>(item ? item->widget() : nullptr))
                width = qMax(width, label->sizeHint().width());
        }
    for (QGridLayout *grid : grids)
        grid->setColumnMinimumWidth(0, width);
}

// A style sheet may draw the default button's text in bold while sizing the button for the
// regular font, which would cut the text off; a focused button becomes the default one.
void fitBoldText(QPushButton *button)
{
    button->ensurePolished();
    QFont bold = button->font();
    bold.setBold(true);
    const QString text = QString(button->text()).remove(QLatin1Char('&'));
    const int extra =
        QFontMetrics(bold).horizontalAdvance(text) - button->fontMetrics().horizontalAdvance(text);
    button->setMinimumWidth(button->sizeHint().width() + qMax(0, extra));
}

// A scroll area that asks for all of its content's height, so that the window opens without a
// scroll bar where the screen has room (a plain one asks for at most 24 lines).
class ContentScroll : public QScrollArea
{
public:
    QSize sizeHint() const override
    {
        const int frame = 2 * frameWidth();
        return widget()->sizeHint() + QSize(frame + verticalScrollBar()->sizeHint().width(), frame);
    }
};

} // namespace

MainWindow::MainWindow(const QUrl &listUrl, const QUrl &imageBaseUrl, QWidget *parent)
    : QMainWindow(parent), configUrl(listUrl), imageBase(imageBaseUrl)
{
    setWindowTitle(windowName);
    buildWidgets();
    readSettings();
    makeInstallation();
    connectSignals();
    updateEnabled();
    updateCacheButton();
    drivePicker->refresh();
    drivePicker->startWatching();
    loadConfig();
}

MainWindow::~MainWindow() = default;

// Only the log grows and shrinks with the window. Below its smallest height the content scrolls,
// while the consent and the buttons below it stay in view on small and scaled screens.
void MainWindow::buildWidgets()
{
    auto *central = new QWidget;
    auto *rows = new QVBoxLayout(central);
    rows->addWidget(buildScrolledContent(), 1);

    countCheck =
        named<QCheckBox>("countCheck", QStringLiteral("Anonym mitzählen, wie oft Tobra installiert wird"));
    countCheck->setToolTip(
        QStringLiteral("Nach einer erfolgreichen Installation wird nur der Name des Images an "
                       "den Server gemeldet. Gespeichert wird nur ein Zähler pro Image."));
    rows->addWidget(countCheck);
    rows->addLayout(buildButtonRow());
    setCentralWidget(central);
    setAcceptDrops(true);
    for (QPushButton *button : findChildren<QPushButton *>())
        fitBoldText(button);
}

QWidget *MainWindow::buildScrolledContent()
{
    auto *content = new QWidget;
    auto *rows = new QVBoxLayout(content);
    rows->setContentsMargins(0, 0, 0, 0);
    drivePicker = new DrivePicker;
    const QList<QWidget *> groups = {buildVersionGroup(), buildRomGroup(), drivePicker};
    for (QWidget *group : groups)
        rows->addWidget(group);
    alignLabelColumns(groups);

    // May carry a version title or a server's text, and wraps rather than widen the window.
    statusLabel = named<HintLabel>("statusLabel");
    statusLabel->setText(QStringLiteral("Bereit"));
    rows->addWidget(statusLabel);
    progressBar = named<QProgressBar>("progressBar");
    progressBar->setRange(0, 100);
    progressBar->setFormat(QStringLiteral("%p %"));
    progressBar->setAccessibleName(QStringLiteral("Fortschritt"));
    rows->addWidget(progressBar);
    cardRows = new CardRows;
    rows->addWidget(cardRows);
    logView = new LogView;
    rows->addWidget(logView, 1);

    scrollArea = named<ContentScroll>("scrollArea");
    scrollArea->setFrameShape(QFrame::NoFrame);
    scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollArea->setWidgetResizable(true);
    scrollArea->setWidget(content);
    return scrollArea;
}

QWidget *MainWindow::buildVersionGroup()
{
    auto *group = new QGroupBox(QStringLiteral("1. Version"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);

    versionCombo = namedCombo("versionCombo");
    reloadButton =
        namedButton("reloadButton", QStringLiteral("&Neu laden"), QStringLiteral("Versionsliste neu laden"));
    grid->addWidget(buddyLabel(QStringLiteral("&Version:"), versionCombo), 0, 0);
    grid->addWidget(versionCombo, 0, 1);
    grid->addWidget(reloadButton, 0, 2);

    kickstartLabel = named<QLabel>("kickstartLabel");
    kickstartLabel->setTextFormat(Qt::PlainText); // the text comes from the server
    grid->addWidget(new QLabel(QStringLiteral("Benötigtes Kickstart:")), 1, 0);
    grid->addWidget(kickstartLabel, 1, 1, 1, 2);
    versionHint = namedHint("versionHint");
    grid->addWidget(versionHint, 2, 1, 1, 2);

    localImageCheck =
        named<QCheckBox>("localImageCheck", QStringLiteral("&Lokale Image-Datei verwenden (ohne Download)"));
    grid->addWidget(localImageCheck, 3, 0, 1, 3);

    localImageField = new FileField(QStringLiteral("I&mage-Datei:"), "localImageEdit", "localImageButton",
                                    "localImageHint", imageKind, QStringLiteral("&Auswählen …"));
    localImageField->setOption(localImageCheck);
    grid->addWidget(localImageField, 4, 0, 1, 3);
    return group;
}

QWidget *MainWindow::buildRomGroup()
{
    auto *group = new QGroupBox(QStringLiteral("2. ROM-Dateien"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);

    romField = new FileField(QStringLiteral("&Kickstart-ROM:"), "romEdit", "romButton", "romHint", romKind,
                             QStringLiteral("Aus&wählen …"));
    grid->addWidget(romField, 0, 0, 1, 2);

    useExtCheck = named<QCheckBox>("useExtCheck",
                                   QStringLiteral("Zusätzlich eine &ext.bin verwenden (z. B. bei AROS)"));
    grid->addWidget(useExtCheck, 1, 0, 1, 2);

    extField = new FileField(QStringLiteral("E&rweiterungs-ROM:"), "extEdit", "extButton", "extHint", extKind,
                             QStringLiteral("Auswä&hlen …"));
    extField->setOption(useExtCheck);
    extField->setStartBeside(romField);
    grid->addWidget(extField, 2, 0, 1, 2);
    return group;
}

QLayout *MainWindow::buildButtonRow()
{
    auto *row = new QHBoxLayout;
    copyLogButton = namedButton("copyLogButton", QStringLiteral("&Protokoll kopieren"),
                                QStringLiteral("Protokoll in die Zwischenablage kopieren"));
    row->addWidget(copyLogButton);
    clearCacheButton = namedButton("clearCacheButton", QStringLiteral("&Cache leeren"),
                                   QStringLiteral("Image-Cache leeren"));
    row->addWidget(clearCacheButton);
    row->addStretch();
    cancelButton = namedButton("cancelButton", QStringLiteral("A&bbrechen"));
    cancelButton->setEnabled(false);
    row->addWidget(cancelButton);
    installButton = namedButton("installButton", QStringLiteral("&Installieren"));
    installButton->setDefault(true);
    row->addWidget(installButton);
    return row;
}

void MainWindow::readSettings()
{
    const QSettings settings;
    romField->setPath(settings.value(QStringLiteral("romPath")).toString());
    extField->setPath(settings.value(QStringLiteral("extPath")).toString());
    useExtCheck->setChecked(settings.value(QStringLiteral("useExt"), false).toBool());
    // Consent is asked, never presumed: unticked until the user ticks it.
    countCheck->setChecked(settings.value(QStringLiteral("countInstall"), false).toBool());
}

void MainWindow::writeSettings() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("romPath"), romField->edit()->text());
    settings.setValue(QStringLiteral("extPath"), extField->edit()->text());
    settings.setValue(QStringLiteral("useExt"), useExtCheck->isChecked());
    settings.setValue(QStringLiteral("countInstall"), countCheck->isChecked());
}

void MainWindow::connectSignals()
{
    connect(reloadButton, &QPushButton::clicked, this, &MainWindow::loadConfig);
    connect(&listLoader, &VersionListLoader::loaded, this, &MainWindow::onListLoaded);
    connect(&listLoader, &VersionListLoader::keptListOffered, this, &MainWindow::onKeptListOffered);
    connect(&listLoader, &VersionListLoader::failed, this, &MainWindow::onListFailed);
    connect(versionCombo, &QComboBox::currentIndexChanged, this, &MainWindow::onVersionChanged);
    connect(localImageCheck, &QCheckBox::toggled, this, &MainWindow::updateEnabled);
    connect(useExtCheck, &QCheckBox::toggled, this, &MainWindow::updateReadiness);
    for (FileField *field : {localImageField, romField, extField}) {
        connect(field, &FileField::fileDropped, this,
                [this](const QString &file) { appendLog(QStringLiteral("Datei übernommen: %1").arg(file)); });
        connect(field, &FileField::pathChanged, this, &MainWindow::updateReadiness);
    }
    connect(drivePicker, &DrivePicker::logLine, this, &MainWindow::appendLog);
    connect(drivePicker, &DrivePicker::chosenChanged, this, &MainWindow::updateReadiness);
    connect(installButton, &QPushButton::clicked, this, &MainWindow::install);
    connect(cancelButton, &QPushButton::clicked, this, &MainWindow::cancel);
    connect(copyLogButton, &QPushButton::clicked, this, &MainWindow::copyLog);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this), &QShortcut::activated, this,
            &MainWindow::close);
    connect(clearCacheButton, &QPushButton::clicked, this, &MainWindow::clearCache);
    connect(StopSignals::instance(), &StopSignals::received, this, &MainWindow::stopOnSignal);
    // The rows of the cards and a status that wraps lengthen the content during a run: it stays
    // scrolled to its end, where they are.
    connect(scrollArea->verticalScrollBar(), &QScrollBar::rangeChanged, this, [this](int, int maximum) {
        if (busy)
            scrollArea->verticalScrollBar()->setValue(maximum);
    });
    // While nothing comes, progress is not reported: the status is looked at once a second.
    connect(&stallCheck, &QTimer::timeout, this, [this] {
        if (meter.isStalled())
            statusLabel->setText(meter.text());
    });
}

void MainWindow::updateEnabled()
{
    versionCombo->setEnabled(!localImageCheck->isChecked() && !busy);
    updateReadiness();
}

// While busy only cancelling, the counter consent and the display stay usable.
void MainWindow::setBusy(bool b)
{
    busy = b;
    if (!b) {
        setWindowTitle(windowName);
        progressBar->setFormat(QStringLiteral("%p %"));
    }
    cancelButton->setEnabled(b);
    if (b) {
        cancelButton->setFocus();
        // Where the content scrolls, the run's status, progress, card rows and log come into view.
        scrollArea->verticalScrollBar()->setValue(scrollArea->verticalScrollBar()->maximum());
        stallCheck.start(1000);
    } else {
        stallCheck.stop();
    }
    updateCacheButton(); // a run that ends may have filled the cache
    for (QWidget *widget : std::initializer_list<QWidget *>{reloadButton, localImageCheck, useExtCheck})
        widget->setEnabled(!b);
    for (FileField *field : {localImageField, romField, extField})
        field->setLocked(b);
    drivePicker->setBusy(b);
    updateEnabled();
}

void MainWindow::setStatus(const QString &text, int percent)
{
    if (!busy)
        idleStatus = text;
    statusLabel->setText(text);
    showPercent(percent);
    appendLog(text);
}

// While a run is busy, the title carries the percentage too: it shows in the task bar.
void MainWindow::showPercent(int percent)
{
    progressBar->setValue(percent);
    if (busy)
        setWindowTitle(QStringLiteral("%1 % – %2").arg(percent).arg(windowName));
}

void MainWindow::appendLog(const QString &text)
{
    logView->appendLine(text);
}

void MainWindow::copyLog()
{
    logView->copyToClipboard();
    showFeedback(copyLogButton, QStringLiteral("Das Protokoll ist in der Zwischenablage."));
}

void MainWindow::showProgress(qint64 done, qint64 total)
{
    if (!meter.update(done, total))
        return;
    statusLabel->setText(meter.text());
    if (meter.percent() >= 0)
        showPercent(meter.percent());
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier && installButton->isEnabled()) {
        installButton->click();
        return;
    }
    if (event->key() == Qt::Key_Escape && busy) {
        if (askChoice(this, QMessageBox::Question, QStringLiteral("Die Installation abbrechen?"),
                      QStringLiteral("Installation &abbrechen"), QStringLiteral("&Weiter installieren")))
            cancel();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (!busy && !urls.isEmpty() && urls.first().isLocalFile())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    if (busy || urls.isEmpty() || !urls.first().isLocalFile())
        return;
    const QString file = urls.first().toLocalFile();
    FileField *field = dropTarget(event->position().toPoint(), file);
    if (!field)
        return;
    field->takeDroppedFile(file);
    event->acceptProposedAction();
}

// The field under the drop, else the one the file's name suits; none for another kind of file.
FileField *MainWindow::dropTarget(const QPoint &position, const QString &file) const
{
    const QList<FileField *> fields = {localImageField, romField, extField};
    const QWidget *under = childAt(position);
    for (FileField *field : fields)
        if (under && (under == field || field->isAncestorOf(under)))
            return field;
    for (FileField *field : {localImageField, romField})
        if (field->suits(file))
            return field;
    return nullptr;
}

// A close during a run asks first: it ends the run, and the card may be left half-written.
void MainWindow::closeEvent(QCloseEvent *event)
{
    if (busy &&
        !askChoice(this, QMessageBox::Warning,
                   QStringLiteral("Es läuft gerade eine Installation. Wird sie abgebrochen, ist die "
                                  "Karte danach womöglich nicht benutzbar."),
                   QStringLiteral("Abbrechen und &beenden"), QStringLiteral("&Weiter installieren"))) {
        event->ignore();
        return;
    }
    if (busy)
        stopRun();
    writeSettings();
    event->accept();
}
