#include "mainwindow.h"

#include "drives.h"
#include "drivewatcher.h"
#include "stopsignals.h"

#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTime>
#include <QVBoxLayout>

namespace {

const int maxLogLines = 500;

// Creates a widget whose object name is the name of the member that holds it.
template <typename Widget, typename... Args> Widget *named(const char *name, Args &&...args)
{
    auto *widget = new Widget(std::forward<Args>(args)...);
    widget->setObjectName(QLatin1String(name));
    return widget;
}

// A push button that Enter clicks while it has the focus, as in a dialog; elsewhere in the window
// Enter clicks the default button.
QPushButton *namedButton(const char *name, const QString &text, const QString &accessibleName = QString())
{
    auto *button = named<QPushButton>(name, text);
    button->setAutoDefault(true);
    button->setAccessibleName(accessibleName);
    return button;
}

// A "choose" button, told apart by the field it fills.
QPushButton *chooseButton(const char *name, const QString &field)
{
    return namedButton(name, QStringLiteral("Auswählen …"), QStringLiteral("%1 auswählen").arg(field));
}

// A selector whose long entries (version titles, drive labels) do not widen the window.
QComboBox *namedCombo(const char *name)
{
    auto *combo = named<QComboBox>(name);
    combo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    combo->setMinimumContentsLength(20);
    return combo;
}

// A label with a mnemonic that moves the focus to its field.
QLabel *buddyLabel(const QString &text, QWidget *field)
{
    auto *label = new QLabel(text);
    label->setBuddy(field);
    return label;
}

// A field that only takes typing: dropped files go to the window, which puts the path in place of
// the URL text a line edit would insert.
QLineEdit *fileField(const char *name, const QString &accessibleName)
{
    auto *field = named<QLineEdit>(name);
    field->setAccessibleName(accessibleName);
    field->setAcceptDrops(false);
    return field;
}

const QString imageFileName = QStringLiteral("Lokale Image-Datei");
const QString romFileName = QStringLiteral("Kickstart-ROM-Datei");
const QString extFileName = QStringLiteral("Erweiterungs-ROM-Datei");

const QStringList imagePatterns = {"*.img", "*.img.xz", "*.img.zst", "*.img.gz", "*.img.bz2", "*.zip"};
const QStringList romPatterns = {"*.rom", "*.bin"};

bool matchesAny(const QString &file, const QStringList &patterns)
{
    const QString name = QFileInfo(file).fileName();
    for (const QString &pattern : patterns)
        if (QDir::match(pattern, name))
            return true;
    return false;
}

QString fileFilter(const QString &kind, const QStringList &patterns)
{
    return QStringLiteral("%1 (%2);;Alle Dateien (*)").arg(kind, patterns.join(QLatin1Char(' ')));
}

// Gives the label columns of the groups' grids one width, so that the fields line up.
void alignLabelColumns(const QList<QWidget *> &groups)
{
    int width = 0;
    for (const QWidget *group : groups) {
        const auto *grid = qobject_cast<const QGridLayout *>(group->layout());
        for (int row = 0; row < grid->rowCount(); ++row) {
            const QLayoutItem *item = grid->itemAtPosition(row, 0);
            if (const auto *label = qobject_cast<const QLabel *>(item ? item->widget() : nullptr))
                width = qMax(width, label->sizeHint().width());
        }
    }
    for (QWidget *group : groups)
        qobject_cast<QGridLayout *>(group->layout())->setColumnMinimumWidth(0, width);
}

// A style sheet may draw the default button's text in bold while sizing the button for the
// regular font, which would cut the text off.
void fitBoldText(QPushButton *button)
{
    button->ensurePolished();
    QFont bold = button->font();
    bold.setBold(true);
    const int extra = QFontMetrics(bold).horizontalAdvance(button->text()) -
                      button->fontMetrics().horizontalAdvance(button->text());
    button->setMinimumWidth(button->sizeHint().width() + qMax(0, extra));
}

} // namespace

MainWindow::MainWindow(const QUrl &configUrl, const QUrl &imageBase, QWidget *parent)
    : QMainWindow(parent), configUrl(configUrl), imageBase(imageBase)
{
    setWindowTitle(windowName);
    buildWidgets();
    driveWatcher = new DriveWatcher(this);
    readSettings();
    makeInstallation();
    connectSignals();
    updateEnabled();
    updateCacheButton();
    refreshDrives();
    driveWatcher->start();
    loadConfig();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildWidgets()
{
    auto *central = new QWidget;
    auto *rows = new QVBoxLayout(central);
    const QList<QWidget *> groups = {buildVersionGroup(), buildRomGroup(), buildDriveGroup()};
    for (QWidget *group : groups)
        rows->addWidget(group);
    alignLabelColumns(groups);

    statusLabel = named<QLabel>("statusLabel", QStringLiteral("Bereit"));
    rows->addWidget(statusLabel);
    progressBar = named<QProgressBar>("progressBar");
    progressBar->setRange(0, 100);
    progressBar->setFormat(QStringLiteral("%p %"));
    progressBar->setAccessibleName(QStringLiteral("Fortschritt"));
    rows->addWidget(progressBar);

    logView = named<QPlainTextEdit>("logView");
    logView->setAccessibleName(QStringLiteral("Protokoll"));
    logView->setReadOnly(true);
    logView->setMaximumBlockCount(maxLogLines);
    logView->setMinimumHeight(110);
    rows->addWidget(logView, 1);

    countCheck =
        named<QCheckBox>("countCheck", QStringLiteral("Anonym mitzählen, wie oft Tobra installiert wird"));
    countCheck->setToolTip(
        QStringLiteral("Nach einer erfolgreichen Installation wird nur der Name des Images an "
                       "den Server gemeldet. Gespeichert wird nur ein Zähler pro Image."));
    rows->addWidget(countCheck);
    rows->addLayout(buildButtonRow());
    setCentralWidget(central);
    setAcceptDrops(true);
}

QWidget *MainWindow::buildVersionGroup()
{
    auto *group = new QGroupBox(QStringLiteral("1. Version"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);

    versionCombo = namedCombo("versionCombo");
    reloadButton =
        namedButton("reloadButton", QStringLiteral("Neu laden"), QStringLiteral("Versionsliste neu laden"));
    grid->addWidget(buddyLabel(QStringLiteral("&Version:"), versionCombo), 0, 0);
    grid->addWidget(versionCombo, 0, 1);
    grid->addWidget(reloadButton, 0, 2);

    kickstartLabel = named<QLabel>("kickstartLabel");
    kickstartLabel->setTextFormat(Qt::PlainText); // the text comes from the server
    grid->addWidget(new QLabel(QStringLiteral("Benötigtes Kickstart:")), 1, 0);
    grid->addWidget(kickstartLabel, 1, 1, 1, 2);

    localImageCheck =
        named<QCheckBox>("localImageCheck", QStringLiteral("&Lokale Image-Datei verwenden (ohne Download)"));
    grid->addWidget(localImageCheck, 2, 0, 1, 3);

    localImageEdit = fileField("localImageEdit", imageFileName);
    localImageButton = chooseButton("localImageButton", imageFileName);
    grid->addWidget(buddyLabel(QStringLiteral("&Image-Datei:"), localImageEdit), 3, 0);
    grid->addWidget(localImageEdit, 3, 1);
    grid->addWidget(localImageButton, 3, 2);
    return group;
}

QWidget *MainWindow::buildRomGroup()
{
    auto *group = new QGroupBox(QStringLiteral("2. ROM-Dateien"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);

    romEdit = fileField("romEdit", romFileName);
    romEdit->setPlaceholderText(QStringLiteral("ROM-Datei (wird als Rom/rom.bin kopiert)"));
    romButton = chooseButton("romButton", romFileName);
    grid->addWidget(buddyLabel(QStringLiteral("&Kickstart-ROM:"), romEdit), 0, 0);
    grid->addWidget(romEdit, 0, 1);
    grid->addWidget(romButton, 0, 2);

    useExtCheck = named<QCheckBox>("useExtCheck",
                                   QStringLiteral("Zusätzlich eine &ext.bin verwenden (z. B. bei AROS)"));
    grid->addWidget(useExtCheck, 1, 0, 1, 3);

    extEdit = fileField("extEdit", extFileName);
    extEdit->setPlaceholderText(QStringLiteral("Erweiterungs-ROM (wird als Rom/ext.bin kopiert)"));
    extButton = chooseButton("extButton", extFileName);
    grid->addWidget(buddyLabel(QStringLiteral("E&rweiterungs-ROM:"), extEdit), 2, 0);
    grid->addWidget(extEdit, 2, 1);
    grid->addWidget(extButton, 2, 2);
    return group;
}

QWidget *MainWindow::buildDriveGroup()
{
    auto *group = new QGroupBox(QStringLiteral("3. Speicherkarte"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);
    driveCombo = namedCombo("driveCombo");
    refreshButton = namedButton("refreshButton", QStringLiteral("Aktualisieren"),
                                QStringLiteral("Speicherkarten neu suchen"));
    grid->addWidget(buddyLabel(QStringLiteral("&Speicherkarte:"), driveCombo), 0, 0);
    grid->addWidget(driveCombo, 0, 1);
    grid->addWidget(refreshButton, 0, 2);
    return group;
}

QLayout *MainWindow::buildButtonRow()
{
    auto *row = new QHBoxLayout;
    copyLogButton = namedButton("copyLogButton", QStringLiteral("Protokoll kopieren"),
                                QStringLiteral("Protokoll in die Zwischenablage kopieren"));
    row->addWidget(copyLogButton);
    clearCacheButton =
        namedButton("clearCacheButton", QStringLiteral("Cache leeren"), QStringLiteral("Image-Cache leeren"));
    row->addWidget(clearCacheButton);
    row->addStretch();
    cancelButton = namedButton("cancelButton", QStringLiteral("Abbrechen"));
    cancelButton->setEnabled(false);
    row->addWidget(cancelButton);
    installButton = namedButton("installButton", QStringLiteral("Installieren"));
    installButton->setDefault(true);
    fitBoldText(installButton);
    row->addWidget(installButton);
    return row;
}

void MainWindow::readSettings()
{
    const QSettings settings;
    romEdit->setText(settings.value(QStringLiteral("romPath")).toString());
    extEdit->setText(settings.value(QStringLiteral("extPath")).toString());
    useExtCheck->setChecked(settings.value(QStringLiteral("useExt"), false).toBool());
    // Consent is asked, never presumed: unticked until the user ticks it.
    countCheck->setChecked(settings.value(QStringLiteral("countInstall"), false).toBool());
}

void MainWindow::writeSettings() const
{
    QSettings settings;
    settings.setValue(QStringLiteral("romPath"), romEdit->text());
    settings.setValue(QStringLiteral("extPath"), extEdit->text());
    settings.setValue(QStringLiteral("useExt"), useExtCheck->isChecked());
    settings.setValue(QStringLiteral("countInstall"), countCheck->isChecked());
}

void MainWindow::connectSignals()
{
    connect(reloadButton, &QPushButton::clicked, this, &MainWindow::loadConfig);
    connect(&listLoader, &VersionListLoader::loaded, this, &MainWindow::onListLoaded);
    connect(&listLoader, &VersionListLoader::failed, this, &MainWindow::onListFailed);
    connect(versionCombo, &QComboBox::currentIndexChanged, this, &MainWindow::onVersionChanged);
    connect(localImageCheck, &QCheckBox::toggled, this, &MainWindow::updateEnabled);
    connect(useExtCheck, &QCheckBox::toggled, this, &MainWindow::updateEnabled);
    connect(localImageButton, &QPushButton::clicked, this, &MainWindow::browseLocalImage);
    connect(romButton, &QPushButton::clicked, this, &MainWindow::browseRom);
    connect(extButton, &QPushButton::clicked, this, &MainWindow::browseExt);
    connect(refreshButton, &QPushButton::clicked, this, &MainWindow::refreshDrives);
    connect(installButton, &QPushButton::clicked, this, &MainWindow::install);
    connect(cancelButton, &QPushButton::clicked, this, &MainWindow::cancel);
    connect(copyLogButton, &QPushButton::clicked, this, &MainWindow::copyLog);
    connect(clearCacheButton, &QPushButton::clicked, this, &MainWindow::clearCache);
    connect(driveWatcher, &DriveWatcher::changed, this, &MainWindow::onDrivesChanged);
    connect(StopSignals::instance(), &StopSignals::received, this, &MainWindow::stopOnSignal);
}

void MainWindow::updateEnabled()
{
    const bool local = localImageCheck->isChecked();
    localImageEdit->setEnabled(local);
    localImageButton->setEnabled(local);
    versionCombo->setEnabled(!local && !busy);
    extEdit->setEnabled(useExtCheck->isChecked());
    extButton->setEnabled(useExtCheck->isChecked());
}

void MainWindow::setBusy(bool b)
{
    busy = b;
    if (!b) {
        setWindowTitle(windowName);
        progressBar->setFormat(QStringLiteral("%p %"));
    }
    installButton->setEnabled(!b);
    cancelButton->setEnabled(b);
    updateCacheButton(); // a run that ends may have filled the cache
    const QList<QWidget *> lockedWhileBusy = {reloadButton, refreshButton, versionCombo,    driveCombo,
                                              romButton,    romEdit,       localImageCheck, useExtCheck};
    for (QWidget *widget : lockedWhileBusy)
        widget->setEnabled(!b);
    if (!b) {
        updateEnabled();
        if (drivesChangedWhileBusy)
            onDrivesChanged();
        return;
    }
    const QList<QWidget *> optionFields = {localImageEdit, localImageButton, extEdit, extButton};
    for (QWidget *widget : optionFields)
        widget->setEnabled(false);
}

void MainWindow::setStatus(const QString &text, int percent)
{
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
    const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss "));
    logView->appendPlainText(stamp + redactAddresses(text));
    fullLog.append(stamp + text);
    if (fullLog.size() > maxLogLines)
        fullLog.removeFirst();
}

void MainWindow::copyLog()
{
    QGuiApplication::clipboard()->setText(fullLog.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

QString MainWindow::redactAddresses(const QString &text)
{
    static const QRegularExpression address(QStringLiteral("(?:https?|ftp)://[^\\s\"'<>)]+"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    QString redacted = text;
    return redacted.replace(address, QStringLiteral("[Adresse]"));
}

void MainWindow::showProgress(qint64 done, qint64 total)
{
    if (!meter.update(done, total))
        return;
    statusLabel->setText(meter.text());
    if (meter.percent() >= 0)
        showPercent(meter.percent());
}

// Starts in the field's file if it has one, else in the folder a file of this kind came from last.
void MainWindow::chooseFile(QLineEdit *field, const QString &title, const QString &filter,
                            const QString &folderKey)
{
    QSettings settings;
    const QString start = field->text().isEmpty() ? settings.value(folderKey).toString() : field->text();
    const QString chosen = QFileDialog::getOpenFileName(this, title, start, filter);
    if (chosen.isEmpty())
        return;
    field->setText(chosen);
    settings.setValue(folderKey, QFileInfo(chosen).absolutePath());
}

void MainWindow::browseRom()
{
    chooseFile(romEdit, QStringLiteral("ROM-Datei wählen"),
               fileFilter(QStringLiteral("ROM-Dateien"), romPatterns), QStringLiteral("romFolder"));
}

void MainWindow::browseExt()
{
    chooseFile(extEdit, QStringLiteral("Erweiterungs-ROM wählen"),
               fileFilter(QStringLiteral("ROM-Dateien"), romPatterns), QStringLiteral("romFolder"));
}

void MainWindow::browseLocalImage()
{
    chooseFile(localImageEdit, QStringLiteral("Image-Datei wählen"),
               fileFilter(QStringLiteral("Images"), imagePatterns), QStringLiteral("imageFolder"));
}

void MainWindow::refreshDrives()
{
    const QString remembered = driveCombo->currentData(Qt::UserRole).toString();
    QString error;
    const QList<DriveInfo> drives = listDrives(&error);
    // A failed listing says nothing about which cards came or went.
    const QList<DriveInfo> inserted = error.isEmpty() ? noteDriveChanges(drives) : QList<DriveInfo>();
    fillDriveCombo(drives, error);

    // A drive that is gone leaves the placeholder current, so the user has to choose again; a
    // single new card becomes the choice only when none was chosen.
    const QString choice = remembered.isEmpty() && inserted.size() == 1 ? inserted.first().path : remembered;
    const int index = choice.isEmpty() ? -1 : driveCombo->findData(choice);
    if (index >= 0)
        driveCombo->setCurrentIndex(index);
}

void MainWindow::fillDriveCombo(const QList<DriveInfo> &drives, const QString &error)
{
    driveCombo->clear();
    if (drives.isEmpty()) {
        driveCombo->addItem(QStringLiteral("(keine Speicherkarte gefunden)"), QString());
        appendLog(error.isEmpty()
                      ? QStringLiteral("Keine Speicherkarte gefunden. Eine eingesteckte Karte wird "
                                       "von selbst erkannt.")
                      : error);
        return;
    }
    driveCombo->addItem(QStringLiteral("– Bitte Speicherkarte auswählen –"), QString());
    for (const DriveInfo &drive : drives) {
        driveCombo->addItem(drive.label, drive.path);
        driveCombo->setItemData(driveCombo->count() - 1, QVariant::fromValue<qint64>(drive.sizeBytes),
                                Qt::UserRole + 1);
        driveCombo->setItemData(driveCombo->count() - 1, QVariant::fromValue<quint64>(drive.diskseq),
                                Qt::UserRole + 2);
    }
}

// Logs the cards that came and went since the last listing and returns those that came; the
// first listing only sets the baseline.
QList<DriveInfo> MainWindow::noteDriveChanges(const QList<DriveInfo> &drives)
{
    QMap<QString, QString> current;
    QList<DriveInfo> inserted;
    for (const DriveInfo &drive : drives) {
        current.insert(drive.path, drive.label);
        if (drivesListed && knownDrives.value(drive.path) != drive.label)
            inserted.append(drive);
    }
    for (auto known = knownDrives.cbegin(); known != knownDrives.cend(); ++known)
        if (current.value(known.key()) != known.value())
            appendLog(QStringLiteral("Speicherkarte entfernt: %1").arg(known.value()));
    for (const DriveInfo &drive : inserted)
        appendLog(QStringLiteral("Speicherkarte erkannt: %1").arg(drive.label));
    knownDrives = current;
    drivesListed = true;
    return inserted;
}

// The drives are listed again only while idle: during an installation the card being written
// changes its partitions, and the choice must not move under a running job.
void MainWindow::onDrivesChanged()
{
    drivesChangedWhileBusy = busy;
    if (!busy)
        refreshDrives();
}

void MainWindow::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier && installButton->isEnabled()) {
        installButton->click();
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
    QLineEdit *field = dropTarget(event->position().toPoint(), file);
    if (!field)
        return;
    takeDroppedFile(field, file);
    event->acceptProposedAction();
}

// The field under the drop, else the one the file's name suits; none for another kind of file.
QLineEdit *MainWindow::dropTarget(const QPoint &position, const QString &file) const
{
    const QList<QPair<QLineEdit *, QPushButton *>> fields = {
        {localImageEdit, localImageButton}, {romEdit, romButton}, {extEdit, extButton}};
    const QWidget *under = childAt(position);
    for (const auto &field : fields)
        if (under && (under == field.first || under == field.second || field.first->isAncestorOf(under)))
            return field.first;
    if (matchesAny(file, imagePatterns))
        return localImageEdit;
    if (matchesAny(file, romPatterns))
        return romEdit;
    return nullptr;
}

// A file dropped on an option's field also switches the option on.
void MainWindow::takeDroppedFile(QLineEdit *field, const QString &file)
{
    field->setText(file);
    if (field == localImageEdit)
        localImageCheck->setChecked(true);
    if (field == extEdit)
        useExtCheck->setChecked(true);
    appendLog(QStringLiteral("Datei übernommen: %1").arg(file));
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (busy) {
        QMessageBox::information(
            this, windowName,
            QStringLiteral("Es läuft gerade eine Installation. Bitte erst abbrechen oder abwarten."));
        event->ignore();
        return;
    }
    writeSettings();
    event->accept();
}
