#include "mainwindow.h"

#include "drives.h"
#include "stopsignals.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
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

QString chooseButtonText()
{
    return QStringLiteral("Auswählen …");
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
    setWindowTitle(QStringLiteral("Tobra Installer"));
    buildWidgets();
    readSettings();
    makeInstallation();
    connectSignals();
    updateEnabled();
    refreshDrives();
    loadConfig();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildWidgets()
{
    auto *central = new QWidget;
    auto *rows = new QVBoxLayout(central);
    rows->addWidget(buildVersionGroup());
    rows->addWidget(buildRomGroup());
    rows->addWidget(buildDriveGroup());

    statusLabel = named<QLabel>("statusLabel", QStringLiteral("Bereit"));
    rows->addWidget(statusLabel);
    progressBar = named<QProgressBar>("progressBar");
    progressBar->setRange(0, 100);
    rows->addWidget(progressBar);

    logView = named<QPlainTextEdit>("logView");
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
}

QWidget *MainWindow::buildVersionGroup()
{
    auto *group = new QGroupBox(QStringLiteral("1. Version"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(1, 1);

    versionCombo = named<QComboBox>("versionCombo");
    reloadButton = named<QPushButton>("reloadButton", QStringLiteral("Neu laden"));
    grid->addWidget(new QLabel(QStringLiteral("Version:")), 0, 0);
    grid->addWidget(versionCombo, 0, 1);
    grid->addWidget(reloadButton, 0, 2);

    kickstartLabel = named<QLabel>("kickstartLabel");
    kickstartLabel->setTextFormat(Qt::PlainText); // the text comes from the server
    grid->addWidget(new QLabel(QStringLiteral("Benötigtes Kickstart:")), 1, 0);
    grid->addWidget(kickstartLabel, 1, 1, 1, 2);

    localImageCheck =
        named<QCheckBox>("localImageCheck", QStringLiteral("Lokale Image-Datei verwenden (ohne Download)"));
    grid->addWidget(localImageCheck, 2, 0, 1, 3);

    localImageEdit = named<QLineEdit>("localImageEdit");
    localImageButton = named<QPushButton>("localImageButton", chooseButtonText());
    grid->addWidget(localImageEdit, 3, 0, 1, 2);
    grid->addWidget(localImageButton, 3, 2);
    return group;
}

QWidget *MainWindow::buildRomGroup()
{
    auto *group = new QGroupBox(QStringLiteral("2. ROM-Dateien"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(0, 1);

    romEdit = named<QLineEdit>("romEdit");
    romEdit->setPlaceholderText(QStringLiteral("ROM-Datei (wird als Rom/rom.bin kopiert)"));
    romButton = named<QPushButton>("romButton", chooseButtonText());
    grid->addWidget(romEdit, 0, 0);
    grid->addWidget(romButton, 0, 1);

    useExtCheck =
        named<QCheckBox>("useExtCheck", QStringLiteral("Zusätzlich eine ext.bin verwenden (z. B. bei AROS)"));
    grid->addWidget(useExtCheck, 1, 0, 1, 2);

    extEdit = named<QLineEdit>("extEdit");
    extEdit->setPlaceholderText(QStringLiteral("Erweiterungs-ROM (wird als Rom/ext.bin kopiert)"));
    extButton = named<QPushButton>("extButton", chooseButtonText());
    grid->addWidget(extEdit, 2, 0);
    grid->addWidget(extButton, 2, 1);
    return group;
}

QWidget *MainWindow::buildDriveGroup()
{
    auto *group = new QGroupBox(QStringLiteral("3. Speicherkarte"));
    auto *grid = new QGridLayout(group);
    grid->setColumnStretch(0, 1);
    driveCombo = named<QComboBox>("driveCombo");
    refreshButton = named<QPushButton>("refreshButton", QStringLiteral("Aktualisieren"));
    grid->addWidget(driveCombo, 0, 0);
    grid->addWidget(refreshButton, 0, 1);
    return group;
}

QLayout *MainWindow::buildButtonRow()
{
    auto *row = new QHBoxLayout;
    row->addStretch();
    cancelButton = named<QPushButton>("cancelButton", QStringLiteral("Abbrechen"));
    cancelButton->setEnabled(false);
    row->addWidget(cancelButton);
    installButton = named<QPushButton>("installButton", QStringLiteral("Installieren"));
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
    installButton->setEnabled(!b);
    cancelButton->setEnabled(b);
    const QList<QWidget *> lockedWhileBusy = {reloadButton, refreshButton, versionCombo,    driveCombo,
                                              romButton,    romEdit,       localImageCheck, useExtCheck};
    for (QWidget *widget : lockedWhileBusy)
        widget->setEnabled(!b);
    if (!b) {
        updateEnabled();
        return;
    }
    const QList<QWidget *> optionFields = {localImageEdit, localImageButton, extEdit, extButton};
    for (QWidget *widget : optionFields)
        widget->setEnabled(false);
}

void MainWindow::setStatus(const QString &text, int percent)
{
    statusLabel->setText(text);
    progressBar->setValue(percent);
    appendLog(text);
}

void MainWindow::appendLog(const QString &text)
{
    logView->appendPlainText(QTime::currentTime().toString(QStringLiteral("HH:mm:ss ")) +
                             redactAddresses(text));
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
    if (total > 0)
        progressBar->setValue(int(done * 100 / total));
}

void MainWindow::chooseFile(QLineEdit *field, const QString &title, const QString &filter)
{
    const QString chosen = QFileDialog::getOpenFileName(this, title, field->text(), filter);
    if (!chosen.isEmpty())
        field->setText(chosen);
}

void MainWindow::browseRom()
{
    chooseFile(romEdit, QStringLiteral("ROM-Datei wählen"));
}

void MainWindow::browseExt()
{
    chooseFile(extEdit, QStringLiteral("Erweiterungs-ROM wählen"));
}

void MainWindow::browseLocalImage()
{
    chooseFile(localImageEdit, QStringLiteral("Image-Datei wählen"),
               QStringLiteral("Images (*.img);;Alle Dateien (*)"));
}

void MainWindow::refreshDrives()
{
    const QString remembered = driveCombo->currentData(Qt::UserRole).toString();
    driveCombo->clear();

    QString error;
    const QList<DriveInfo> drives = listDrives(&error);
    if (drives.isEmpty()) {
        driveCombo->addItem(QStringLiteral("(keine Speicherkarte gefunden)"), QString());
        appendLog(error.isEmpty() ? QStringLiteral("Keine Speicherkarte gefunden. Karte einstecken und auf "
                                                   "\"Aktualisieren\" klicken.")
                                  : error);
    } else {
        driveCombo->addItem(QStringLiteral("– Bitte Speicherkarte auswählen –"), QString());
        for (const DriveInfo &drive : drives) {
            driveCombo->addItem(drive.label, drive.path);
            driveCombo->setItemData(driveCombo->count() - 1, QVariant::fromValue<qint64>(drive.sizeBytes),
                                    Qt::UserRole + 1);
            driveCombo->setItemData(driveCombo->count() - 1, QVariant::fromValue<quint64>(drive.diskseq),
                                    Qt::UserRole + 2);
        }
    }

    // A drive that is gone leaves the placeholder current, so the user has to choose again.
    const int rememberedIndex = remembered.isEmpty() ? -1 : driveCombo->findData(remembered);
    if (rememberedIndex >= 0)
        driveCombo->setCurrentIndex(rememberedIndex);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (busy) {
        QMessageBox::information(
            this, windowTitle(),
            QStringLiteral("Es läuft gerade eine Installation. Bitte erst abbrechen oder abwarten."));
        event->ignore();
        return;
    }
    writeSettings();
    event->accept();
}
