// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"
#include "installation.h"
#include "progressmeter.h"
#include "versionlist.h"
#include "versionlistloader.h"

#include <QMainWindow>
#include <QNetworkAccessManager>
#include <QString>
#include <QTimer>
#include <QUrl>

class CardRows;
class DrivePicker;
class FileField;
class LogView;
class QCheckBox;
class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;

// The window's own title, and the title of every box it shows.
inline const QString windowName = QStringLiteral("Tobra Installer");

// The installer's only window: arranges the version choice, the file fields, the card picker,
// the status line and the log, turns them into a request and shows what the installation
// reports. Reads its four settings when built and writes them when a close is
// accepted; refuses to close while an installation runs.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Builds the window, scans the drives (blocking while lsblk runs) and starts loading the
    // version list from listUrl. Images are later fetched below imageBaseUrl.
    MainWindow(const QUrl &listUrl, const QUrl &imageBaseUrl, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Enters or leaves the state of a running installation: only cancelling, the counter
    // consent and the display stay usable while busy.
    void setBusy(bool b);
    // Shows text in the status line unchanged, sets the progress bar (0-100) and logs the text.
    void setStatus(const QString &text, int percent);

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private Q_SLOTS:
    void loadConfig();
    void onVersionChanged();
    void updateEnabled();
    void updateReadiness();
    void install();
    void cancel();
    void clearCache();

private:
    void buildWidgets();
    QWidget *buildScrolledContent();
    QWidget *buildVersionGroup();
    QWidget *buildRomGroup();
    QLayout *buildButtonRow();
    void readSettings();
    void writeSettings() const;
    void connectSignals();
    void appendLog(const QString &text);
    void copyLog();
    FileField *dropTarget(const QPoint &position, const QString &file) const;
    void showProgress(qint64 done, qint64 total);
    void showPercent(int percent);
    void onListLoaded(const VersionList &list);
    void onKeptListOffered(const VersionList &list, const QDateTime &loadedAt, const QString &message);
    void onListFailed(VersionListLoader::Failure failure, const QString &message);
    void showList(const VersionList &list);

    // The installation, from the Install button to what it reports at its end.
    InstallRequest requestFromWidgets() const;
    QString refusalFor(InstallRequest &request, QWidget **fault) const;
    QWidget *fieldAtFault(const InstallRequest &request) const;
    void refuse(const QString &text, QWidget *fault);
    bool passRomDoubt(const InstallRequest &request);
    bool confirmErase(const InstallRequest &request);
    void onStepChanged(Installation::Step step, const QString &text);
    int stepCount() const;
    void onInstallFinished(bool ok, const QString &text);
    void succeed(const QString &summary);
    void startRun(const InstallRequest &request);
    void fail(const QString &message);
    void retry();
    void showCancelled(const QString &text);
    void stopOnSignal();
    void stopRun();
    void makeInstallation();
    void updateCacheButton();

    QUrl configUrl;
    QUrl imageBase;
    QNetworkAccessManager network;
    VersionListLoader listLoader{network}; // after network, which must outlive its request
    VersionList catalog;

    QScrollArea *scrollArea = nullptr;
    QComboBox *versionCombo = nullptr;
    QLabel *kickstartLabel = nullptr;
    QLabel *versionHint = nullptr;
    QPushButton *reloadButton = nullptr;
    QCheckBox *localImageCheck = nullptr;
    QCheckBox *countCheck = nullptr;
    FileField *localImageField = nullptr;
    FileField *romField = nullptr;
    QCheckBox *useExtCheck = nullptr;
    FileField *extField = nullptr;
    DrivePicker *drivePicker = nullptr;
    QLabel *statusLabel = nullptr;
    QProgressBar *progressBar = nullptr;
    CardRows *cardRows = nullptr;
    LogView *logView = nullptr;
    QPushButton *installButton = nullptr;
    QPushButton *cancelButton = nullptr;
    QPushButton *copyLogButton = nullptr;
    QPushButton *clearCacheButton = nullptr;

    Installation *installation = nullptr;
    bool busy = false;
    bool listLoading = false;
    QString idleStatus;        // the status line's text between runs
    InstallRequest runRequest; // the running or last installation's
    ProgressMeter meter;       // the running step's sizes, speed and time left
    QTimer stallCheck;
};
