#pragma once

#include "drives.h"
#include "installation.h"
#include "progressmeter.h"
#include "versionlist.h"
#include "versionlistloader.h"

#include <QMainWindow>
#include <QMap>
#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

class DriveWatcher;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

// The window's own title, and the title of every box it shows.
inline const QString windowName = QStringLiteral("Tobra Installer");

// The installer's only window: version, ROM and drive choice, status line, log and the
// installation it starts. Reads its four settings when built and writes them when a close is
// accepted; refuses to close while an installation runs.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Builds the window, scans the drives (blocking while lsblk runs) and starts loading the
    // version list from configUrl. Images are later fetched below imageBase.
    MainWindow(const QUrl &configUrl, const QUrl &imageBase, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Enters or leaves the state of a running installation: only cancelling, the counter
    // consent and the display stay usable while busy.
    void setBusy(bool b);
    // Shows text in the status line unchanged, sets the progress bar (0-100) and logs the text.
    void setStatus(const QString &text, int percent);
    // Appends one time-stamped line to the log, with every address replaced; keeps 500 lines.
    void appendLog(const QString &text);
    // The text with every lower-case http, https or ftp address replaced by "[Adresse]".
    static QString redactAddresses(const QString &text);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private Q_SLOTS:
    void loadConfig();
    void refreshDrives();
    void onVersionChanged();
    void updateEnabled();
    void browseRom();
    void browseExt();
    void browseLocalImage();
    void install();
    void cancel();
    void clearCache();

private:
    void buildWidgets();
    QWidget *buildVersionGroup();
    QWidget *buildRomGroup();
    QWidget *buildDriveGroup();
    QLayout *buildButtonRow();
    void readSettings();
    void writeSettings() const;
    void connectSignals();
    void chooseFile(QLineEdit *field, const QString &title, const QString &filter, const QString &folderKey);
    void fillDriveCombo(const QList<DriveInfo> &drives, const QString &error);
    QList<DriveInfo> noteDriveChanges(const QList<DriveInfo> &drives);
    void onDrivesChanged();
    void copyLog();
    QLineEdit *dropTarget(const QPoint &position, const QString &file) const;
    void takeDroppedFile(QLineEdit *field, const QString &file);
    void showProgress(qint64 done, qint64 total);
    void showPercent(int percent);
    void onListLoaded(const VersionList &list);
    void onListFailed(VersionListLoader::Failure failure, const QString &message);

    // The installation, from the Install button to what it reports at its end.
    InstallRequest requestFromWidgets() const;
    void refuse(const QString &text);
    bool confirmErase(const DriveInfo &drive);
    void onStepChanged(Installation::Step step, const QString &text);
    int stepCount() const;
    void onInstallFinished(bool ok, const QString &text);
    void succeed();
    void fail(const QString &message);
    void showCancelled(const QString &text);
    void stopOnSignal();
    void makeInstallation();
    void updateCacheButton();

    QUrl configUrl;
    QUrl imageBase;
    QNetworkAccessManager network;
    VersionListLoader listLoader{network}; // after network, which must outlive its request
    VersionList catalog;

    QComboBox *versionCombo = nullptr;
    QLabel *kickstartLabel = nullptr;
    QPushButton *reloadButton = nullptr;
    QCheckBox *localImageCheck = nullptr;
    QCheckBox *countCheck = nullptr;
    QLineEdit *localImageEdit = nullptr;
    QPushButton *localImageButton = nullptr;
    QLineEdit *romEdit = nullptr;
    QPushButton *romButton = nullptr;
    QCheckBox *useExtCheck = nullptr;
    QLineEdit *extEdit = nullptr;
    QPushButton *extButton = nullptr;
    QComboBox *driveCombo = nullptr;
    QPushButton *refreshButton = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    QPlainTextEdit *logView = nullptr;
    QPushButton *installButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *copyLogButton = nullptr;
    QPushButton *clearCacheButton = nullptr;

    Installation *installation = nullptr;
    bool busy = false;
    ProgressMeter meter; // the running step's sizes, speed and time left

    DriveWatcher *driveWatcher = nullptr;
    QMap<QString, QString> knownDrives; // path to label, as last listed
    bool drivesListed = false;
    bool drivesChangedWhileBusy = false;
    QStringList fullLog; // the log's lines with their addresses, for the clipboard
};
